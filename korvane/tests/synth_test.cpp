#include "korvane/synth.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

#include "korvane/fft.hpp"
#include "korvane/radiation.hpp"
#include "korvane/sim.hpp"

using namespace korvane;
using korvane::rng::DrawSource;
using korvane::rng::Variant;

namespace {

// End displacement and velocity of a piecewise-linear acceleration (f64).
std::pair<double, double> integrate(const std::vector<float>& a, double dt) {
    double d = 0.0, v = 0.0;
    for (std::size_t i = 0; i + 1 < a.size(); ++i) {
        const double a0 = a[i], a1 = a[i + 1];
        d += v * dt + (2.0 * a0 + a1) * dt * dt / 6.0;
        v += (a0 + a1) * dt / 2.0;
    }
    return {d, v};
}

// A simulator whose layers and site grid serve the synthesis tests.
sim::Simulator test_simulator() {
    std::vector<input::InputLayer> in(4);
    in[0] = {3.0, 1.2, 2.1, 0.0f, 0.5f, 100.0f, 50.0f};
    in[1] = {5.5, 3.2, 2.6, 0.0f, 4.0f, 400.0f, 200.0f};
    in[2] = {6.3, 3.6, 2.8, 0.0f, 20.0f, 800.0f, 400.0f};
    in[3] = {8.0, 4.6, 3.3, 0.0f, 0.0f, 1000.0f, 500.0f};
    sim::HfConfig cfg;
    cfg.path = {{1, 2}, 0};
    cfg.source = {0.8f, 0.6f, 1.0f, 0.1f, 2.0f, 1.0f};
    cfg.record = {60.0f, 0.01f};
    cfg.site = {20.0f};
    std::vector<input::Segment> segs;
    segs.emplace_back(1, 1, std::vector<input::Subfault>{{1.0f, 1.0f, 0.0f, 50.0f}}, 0.0f, 0.0f,
                      2.0f, 2.0f, 0.0f, 60.0f, 90.0f, 5.0f, 0.0f, 1.0f);
    return std::move(sim::Simulator::create(cfg, input::StochModel(std::move(segs)),
                                            input::build_velocity_model(in, 4.5).value()))
        .value();
}

}  // namespace

TEST(Baseline, ShortSeries) {
    std::vector<float> two = {1.5f, -2.0f};
    fft::correct_baseline(two, 0.01f);
    EXPECT_EQ(two, (std::vector<float>{1.5f, -2.0f}));

    std::vector<float> four = {1.0f, 2.0f, 3.0f, 4.0f};
    fft::correct_baseline(four, 0.1f);
    EXPECT_EQ(four[0], 1.0f);
    EXPECT_EQ(four[1], 2.0f);
    EXPECT_NE(four[2], 3.0f);
    EXPECT_NE(four[3], 4.0f);
}

TEST(Baseline, RemovesEndVelocityAndDisplacement) {
    DrawSource draws = DrawSource::for_key(Variant::Pcg, 7);
    std::vector<float> a(2000);
    for (float& x : a) x = draws.normal() + 0.3f;  // an offset makes a large drift
    const auto [d0, v0] = integrate(a, 0.01);
    fft::correct_baseline(a, 0.01f);
    const auto [d1, v1] = integrate(a, 0.01);
    // Samples 0 and 1 stay uncorrected, so the cancellation is not exact.
    EXPECT_LT(std::fabs(v1), 1e-3 * std::fabs(v0));
    EXPECT_LT(std::fabs(d1), 1e-2 * std::fabs(d0));
}

TEST(NoiseSpectrum, NormalisedAndConjugateSymmetric) {
    const std::size_t n = 1024;
    const float dt = 0.01f;
    const auto plan = stoc::SpectrumPlan::make(n, dt, 0.5f, 0.2f, 0.05f);
    auto shape = stoc::SpectrumShape::with_capacity(n);
    shape.refresh(plan, {dt, 0.2f, 0.05f, 0.03f}, {20.0f, 4.0f, 3.5f, 2.8f, 1.0f, 1e24f, 1.0f, 20.0f, 0.3f});
    const std::vector<double> target = shape.amplitude;
    std::fill(shape.amplitude.begin(), shape.amplitude.end(), 1.0);  // flat target

    DrawSource draws = DrawSource::for_key(Variant::Pcg, 3);
    std::vector<std::complex<float>> row(n);
    stoc::shape_noise_spectrum(shape, plan, draws, row);
    double mean_sq = 0.0;
    for (std::size_t k = 0; k <= n / 2; ++k) mean_sq += std::norm(std::complex<double>(row[k]));
    mean_sq /= static_cast<double>(n / 2 + 1);
    EXPECT_NEAR(mean_sq * double{dt} * double{dt}, 1.0, 1e-4);
    for (std::size_t k = 1; k < n / 2; ++k) EXPECT_EQ(row[n - k], std::conj(row[k])) << k;

    shape.amplitude = target;  // amplitude[0] = 0 zeroes bin 0
    stoc::shape_noise_spectrum(shape, plan, draws, row);
    EXPECT_EQ(row[0], std::complex<float>(0.0f, 0.0f));
}

TEST(SynthesiseRay, DrawOrderAndOutputs) {
    const sim::Simulator s = test_simulator();
    const std::size_t n = 2048;
    const auto plan = stoc::SpectrumPlan::make(n, s.dt, 0.5f, s.eps, s.eta);
    sim::SegmentFrame frame(n, s.n_grid);
    DrawSource station = DrawSource::for_key(Variant::Pcg, 11);
    std::vector<float> u(1000), w(1000);
    for (float& x : u) x = station.uniform();
    for (float& x : w) x = station.uniform();
    const sim::RayContext ctx{s.ray_layers, s.ln_grid, s.n_deviates, u, w, 10.0f};
    const sim::RayGeometry geo{0.1f, 1.0f, 1.5f, 2.0f, 2.5f, 2};
    const stoc::SourceSpectrumParams src{20.0f, 4.0f, 3.5f, 2.8f, 1.0f, 1e24f, 1.0f, 0.0f, 0.3f};

    DrawSource draws = DrawSource::for_key(Variant::Pcg, 99);
    DrawSource twin = draws;
    sim::synthesise_ray(plan, frame, draws, geo, ctx, {s.dt, s.eps, s.eta, 0.03f}, src);
    for (std::size_t i = 0; i < 3 * n; ++i) (void)twin.normal();
    for (std::size_t i = 0; i < 10000; ++i) (void)twin.uniform();
    EXPECT_EQ(draws.next_u32(), twin.next_u32());

    for (std::size_t c = 0; c < 3; ++c) {
        const auto row = frame.time_row(c, n);
        EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](float x) { return std::isfinite(x); }));
        EXPECT_EQ(row[n - 1], 0.0f);  // end taper
    }
    // fmax 10: all three components share the one refresh at fmax 10.
    auto expect_shape = stoc::SpectrumShape::with_capacity(n);
    stoc::SourceSpectrumParams at10 = src;
    at10.fmax_hz = 10.0f;
    expect_shape.refresh(plan, {s.dt, s.eps, s.eta, 0.03f}, at10);
    EXPECT_EQ(frame.shape.amplitude, expect_shape.amplitude);
}

// Averaged over many seeds, the Fourier amplitude of each component follows
// target x site gain x radiation amplitude / 0.4473 (the inverse scale).
TEST(SynthesiseRay, FourierAmplitudeFollowsTarget) {
    const sim::Simulator s = test_simulator();
    const std::size_t n = 4096;
    const std::size_t m = n / 2 + 1;
    const float dt = s.dt;
    const stoc::WindowParams win{dt, s.eps, s.eta, 0.0f};  // kappa 0: the fmax form
    const auto plan = stoc::SpectrumPlan::make(n, dt, 0.6f, s.eps, s.eta);
    sim::SegmentFrame frame(n, s.n_grid);
    DrawSource station = DrawSource::for_key(Variant::Pcg, 5);
    std::vector<float> u(1000), w(1000);
    for (float& x : u) x = station.uniform();
    for (float& x : w) x = station.uniform();
    const float fmax = 20.0f;  // components 0/1 at 20 Hz, vertical at 15 Hz
    const sim::RayContext ctx{s.ray_layers, s.ln_grid, s.n_deviates, u, w, fmax};
    const sim::RayGeometry geo{0.3f, 1.1f, 1.2f, 2.2f, 2.6f, 2};
    const stoc::SourceSpectrumParams src{30.0f, 8.0f, 3.6f, 2.8f, 0.8f, 1e24f, 1.0f, 0.0f, 0.2f};

    // Expected shapes: fmax 20 for the horizontals, 15 for the vertical.
    auto horizontal_shape = stoc::SpectrumShape::with_capacity(n);
    auto at = src;
    at.fmax_hz = 20.0f;
    horizontal_shape.refresh(plan, win, at);

    const std::vector<std::pair<float, float>> bands = {
        {0.5f, 1.0f}, {1.0f, 2.0f}, {2.0f, 5.0f}, {5.0f, 12.0f}, {12.0f, 18.0f}, {18.0f, 30.0f}};
    std::vector<std::array<double, 3>> got(bands.size()), want(bands.size());
    std::vector<std::complex<float>> spec(n);
    std::vector<float> amp0(m), amp1(m);
    const int n_seed = 60;
    for (int seed = 0; seed < n_seed; ++seed) {
        DrawSource draws = DrawSource::for_key(Variant::Pcg, static_cast<std::uint64_t>(seed) + 1000);
        DrawSource twin = draws;
        sim::synthesise_ray(plan, frame, draws, geo, ctx, win, src);
        // The horizontal amplitudes again, from a twin stream past its noise.
        for (std::size_t i = 0; i < 3 * n; ++i) (void)twin.normal();
        const auto exact = radiation::radiation_coefficients(geo.rake, geo.dip, geo.takeoff,
                                                             geo.azimuth - geo.strike);
        radiation::horizontal_radiation_spectrum(exact.sh, exact.sv, geo.strike, geo.dip, geo.rake,
                                                 geo.azimuth, geo.takeoff, -1.5707964f, twin,
                                                 s.n_deviates, plan.freqs, amp0);
        radiation::horizontal_radiation_spectrum(exact.sh, exact.sv, geo.strike, geo.dip, geo.rake,
                                                 geo.azimuth, geo.takeoff, 0.0f, twin, s.n_deviates,
                                                 plan.freqs, amp1);
        const auto gains = frame.gains(m);
        const auto amp2 = frame.amplitude(m);
        for (std::size_t c = 0; c < 3; ++c) {
            const auto row = frame.time_row(c, n);
            for (std::size_t i = 0; i < n; ++i) spec[i] = {row[i], 0.0f};
            fft::transform(spec, true);
            for (std::size_t b = 0; b < bands.size(); ++b) {
                for (std::size_t k = 1; k < m; ++k) {
                    const float f = plan.freqs[k];
                    if (f < bands[b].first || f >= bands[b].second) continue;
                    const double target =
                        c < 2 ? horizontal_shape.amplitude[k] : frame.shape.amplitude[k];
                    const double rad = c == 0 ? amp0[k] : c == 1 ? amp1[k] : amp2[k];
                    const double expected = target * double{gains[k]} * std::fabs(rad) / 0.4473;
                    got[b][c] += std::norm(std::complex<double>(spec[k])) * double{dt} * double{dt};
                    want[b][c] += expected * expected;
                }
            }
        }
    }
    for (std::size_t b = 0; b < bands.size(); ++b) {
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_NEAR(std::sqrt(got[b][c] / want[b][c]), 1.0, 0.05)
                << "band " << bands[b].first << "-" << bands[b].second << " Hz, component " << c;
        }
    }
}
