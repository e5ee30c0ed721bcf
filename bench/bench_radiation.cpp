// Radiation of one ray over the bins of a plan: both horizontal components
// (1000 perturbed realisations each, 5000 uniform draws) and the vertical
// (1000 directions from the station's lists). "vector" is the kernel the run
// calls; "scalar" evaluates the same averages one realisation at a time with
// the C library's functions (the tests' reference) and writes the far value to
// every bin, which slightly favours it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <vector>

#include "korvane/radiation.hpp"
#include "korvane/rng.hpp"
#include "korvane/stoc.hpp"
#include "scalar_radiation.hpp"

using namespace korvane;

namespace {

constexpr std::size_t kDeviates = 1000;
constexpr std::array<float, 5> kAngles{0.6f, 1.2f, 0.3f, 2.0f, 2.4f};  // strike, dip, rake, azimuth, take-off
constexpr float kThetas[] = {-1.5707964f, 0.0f};                       // the 090 and 000 components

template <bool Vector>
void BM_Ray(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const stoc::SpectrumPlan plan = stoc::SpectrumPlan::make(n, 0.01f, 0.6f, 0.2f, 0.05f);
    auto station = rng::DrawSource::for_key(rng::Variant::Pcg, 1);
    std::vector<float> u(kDeviates), w(kDeviates);
    for (float& x : u) x = station.uniform();
    for (float& x : w) x = station.uniform();
    auto draws = rng::DrawSource::for_key(rng::Variant::Pcg, 2);
    std::vector<float> amp(plan.n_freq);
    const auto [strike, dip, rake, az, takeoff] = kAngles;
    const auto c = radiation::radiation_coefficients(rake, dip, takeoff, az - strike);
    for (auto _ : state) {
        for (const float theta : kThetas) {
            if constexpr (Vector) {
                radiation::horizontal_radiation_spectrum(c.sh, c.sv, strike, dip, rake, az, takeoff, theta, draws,
                                                         kDeviates, plan.freqs, amp);
            } else {
                std::fill(amp.begin(), amp.end(), testing::scalar_perturbed_rms(kAngles, theta, draws, kDeviates));
            }
            benchmark::DoNotOptimize(amp.data());
        }
        if constexpr (Vector) {
            radiation::vertical_radiation_spectrum(kAngles, plan.freqs, u, w, kDeviates, amp);
        } else {
            std::fill(amp.begin(), amp.end(), testing::scalar_vertical_average(kAngles, u, w, kDeviates));
        }
        benchmark::DoNotOptimize(amp.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Ray<true>)->Name("ray/vector")->Arg(2048)->Arg(4096)->Arg(8192);
BENCHMARK(BM_Ray<false>)->Name("ray/scalar")->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
