// Per-ray spectral kernels: one target-shape refresh per plan length (window
// over n samples, target amplitude over n/2 + 1 bins), the noise spectrum of
// one component (n normal draws, baseline correction, window, real forward
// transform, scaling, site gains), and radiate_and_invert (radiation, real inverse
// transform, scaling, taper). Rows are aligned as the synthesis's are.
#include <benchmark/benchmark.h>

#include <complex>
#include <vector>

#include "korvane/stoc.hpp"

using namespace korvane::stoc;

namespace {

SourceSpectrumParams source() {
    SourceSpectrumParams s;
    s.distance_km = 30.0f;
    s.window_length_s = 12.0f;
    s.beta_km_s = 3.5f;
    s.density_g_cm3 = 2.8f;
    s.corner_frequency_hz = 0.8f;
    s.moment_dyne_cm = 1.0e24f;
    s.shape_factor = 2.0f;
    s.fmax_hz = 10.0f;
    s.path_t = 0.01f;
    return s;
}

void BM_Refresh(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    PlanCache cache(0.01f, 0.6f, 0.2f, 0.05f);
    const SpectrumPlan& plan = cache.for_length(n);
    SpectrumShape shape = SpectrumShape::with_capacity(n);
    const WindowParams win{.dt = 0.01f, .eps = 0.2f, .eta = 0.05f, .kappa_s = 0.0f};
    SourceSpectrumParams src = source();
    for (auto _ : state) {
        shape.refresh(plan, win, src);
        benchmark::DoNotOptimize(shape.amplitude.data());
        benchmark::DoNotOptimize(shape.window.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Refresh)->Arg(2048)->Arg(4096)->Arg(8192);

void BM_ShapeNoiseSpectrum(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    PlanCache cache(0.01f, 0.6f, 0.2f, 0.05f);
    const SpectrumPlan& plan = cache.for_length(n);
    SpectrumShape shape = SpectrumShape::with_capacity(n);
    shape.refresh(plan, {.dt = 0.01f, .eps = 0.2f, .eta = 0.05f, .kappa_s = 0.04f}, source());
    korvane::rng::DrawSource draws = korvane::rng::DrawSource::for_key(korvane::rng::Variant::Pcg, 1);
    korvane::fft::AlignedVector<std::complex<float>> row(n / 2 + 1);
    const std::vector<float> gains(n / 2 + 1, 1.5f);
    shape_noise_spectrum(shape, plan, gains, draws, row);  // the plan is made outside the timing
    for (auto _ : state) {
        shape_noise_spectrum(shape, plan, gains, draws, row);
        benchmark::DoNotOptimize(row.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ShapeNoiseSpectrum)->Arg(2048)->Arg(4096)->Arg(8192)->Arg(16384);

void BM_RadiateAndInvert(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::size_t m = n / 2 + 1;
    const SpectrumPlan plan = SpectrumPlan::make(n, 0.01f, 0.6f, 0.2f, 0.05f);
    korvane::fft::AlignedVector<std::complex<float>> spectrum(m), row(m);
    for (std::size_t i = 0; i < m; ++i) spectrum[i] = {1.0f / static_cast<float>(i + 1), 0.0f};
    std::vector<float> amp(m, 0.7f);
    korvane::fft::AlignedVector<float> out(n);
    for (auto _ : state) {
        row = spectrum;  // copy-assignment into the same capacity: no allocation
        radiate_and_invert(plan, row, amp, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RadiateAndInvert)->Arg(2048)->Arg(4096)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();
