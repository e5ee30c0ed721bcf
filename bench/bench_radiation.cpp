// Per-ray radiation kernels: one horizontal component (1000 perturbed
// realisations, 5000 uniform draws) plus the vertical component (1000
// directions from the station's lists), over the bins of a plan.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "korvane/radiation.hpp"
#include "korvane/rng.hpp"
#include "korvane/stoc.hpp"

using namespace korvane;

namespace {

constexpr std::size_t kDeviates = 1000;

void BM_HorizontalPlusVertical(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const stoc::SpectrumPlan plan = stoc::SpectrumPlan::make(n, 0.01f, 0.6f, 0.2f, 0.05f);
    auto station = rng::DrawSource::for_key(rng::Variant::Pcg, 1);
    std::vector<float> u(kDeviates), w(kDeviates);
    for (float& x : u) x = station.uniform();
    for (float& x : w) x = station.uniform();
    auto draws = rng::DrawSource::for_key(rng::Variant::Pcg, 2);
    std::vector<float> amp(plan.n_freq);
    const float strike = 0.6f, dip = 1.2f, rake = 0.3f, az = 2.0f, takeoff = 2.4f;
    const auto c = radiation::radiation_coefficients(rake, dip, takeoff, az - strike);
    for (auto _ : state) {
        radiation::horizontal_radiation_spectrum(c.sh, c.sv, strike, dip, rake, az, takeoff,
                                                 -1.5707964f, draws, kDeviates, plan.freqs, amp);
        benchmark::DoNotOptimize(amp.data());
        radiation::vertical_radiation_spectrum({strike, dip, rake, az, takeoff}, plan.freqs, u, w,
                                               kDeviates, amp);
        benchmark::DoNotOptimize(amp.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HorizontalPlusVertical)->Arg(2048)->Arg(4096)->Arg(8192);

// The two halves separately, at one length.
void BM_Horizontal(benchmark::State& state) {
    const stoc::SpectrumPlan plan = stoc::SpectrumPlan::make(4096, 0.01f, 0.6f, 0.2f, 0.05f);
    auto draws = rng::DrawSource::for_key(rng::Variant::Pcg, 2);
    std::vector<float> amp(plan.n_freq);
    for (auto _ : state) {
        radiation::horizontal_radiation_spectrum(0.3f, -0.2f, 0.6f, 1.2f, 0.3f, 2.0f, 2.4f, 0.0f,
                                                 draws, kDeviates, plan.freqs, amp);
        benchmark::DoNotOptimize(amp.data());
    }
}
BENCHMARK(BM_Horizontal);

void BM_Vertical(benchmark::State& state) {
    const stoc::SpectrumPlan plan = stoc::SpectrumPlan::make(4096, 0.01f, 0.6f, 0.2f, 0.05f);
    auto station = rng::DrawSource::for_key(rng::Variant::Pcg, 1);
    std::vector<float> u(kDeviates), w(kDeviates);
    for (float& x : u) x = station.uniform();
    for (float& x : w) x = station.uniform();
    std::vector<float> amp(plan.n_freq);
    for (auto _ : state) {
        radiation::vertical_radiation_spectrum({0.6f, 1.2f, 0.3f, 2.0f, 2.4f}, plan.freqs, u, w,
                                               kDeviates, amp);
        benchmark::DoNotOptimize(amp.data());
    }
}
BENCHMARK(BM_Vertical);

}  // namespace

BENCHMARK_MAIN();
