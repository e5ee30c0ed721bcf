#include "korvane/stoc.hpp"

#include <gtest/gtest.h>

#include "kit.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "korvane/fault.hpp"
#include "korvane/fft.hpp"

// Reference values are computed in double from f32 inputs.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

using namespace korvane;
using namespace korvane::stoc;

using korvane::testing::fault_message;

namespace {

constexpr float kEps = 0.2f;
constexpr float kEta = 0.05f;

SourceSpectrumParams typical_source() {
    SourceSpectrumParams s;
    s.distance_km = 30.0f;
    s.window_length_s = 10.0f;
    s.beta_km_s = 3.5f;
    s.density_g_cm3 = 2.8f;
    s.corner_frequency_hz = 0.8f;
    s.moment_dyne_cm = 1.0e24f;
    s.shape_factor = 2.0f;
    s.fmax_hz = 10.0f;
    s.path_t = 0.01f;
    return s;
}

// The written-out target amplitude in double precision.
double target_amplitude(double f, const SourceSpectrumParams& s, double kappa, double q_exp) {
    const double pi = 3.14159265358979323846;
    const double beta = s.beta_km_s * 1e5;
    const double k = 0.8946 / (4.0 * pi * s.density_g_cm3 * beta * beta * beta);
    const double w = 2.0 * pi * f;
    const double fc = s.corner_frequency_hz;
    const double src = k * s.moment_dyne_cm * w * w / (1.0 + (f / fc) * (f / fc));
    const double sf = s.shape_factor;
    const double shape = ((f * f + fc * fc) * sf) / (f * f * sf + fc * fc);
    const double path = std::exp(-pi * s.path_t * std::pow(f, 1.0 - q_exp)) / (s.distance_km * 1e5);
    const double hf = kappa > 0 ? std::exp(-pi * kappa * f) : 1.0 / (1.0 + f / s.fmax_hz);
    return src * shape * path * hf;
}

}  // namespace

TEST(SpectrumPlan, LengthChecksAndSmallestPlan) {
    for (std::size_t n : {0u, 1u, 3u}) {
        EXPECT_EQ(fault_message([&] { (void)SpectrumPlan::make(n, 0.01f, 0.6f, kEps, kEta); }),
                  "a spectrum plan needs an even length of at least 2, got " + std::to_string(n));
    }
    const SpectrumPlan p = SpectrumPlan::make(2, 0.01f, 0.6f, kEps, kEta);
    EXPECT_EQ(p.n, 2u);
    EXPECT_EQ(p.n_freq, 2u);
    ASSERT_EQ(p.freqs.size(), 2u);
    EXPECT_EQ(p.freqs[0], 0.0f);
    EXPECT_EQ(p.freqs[1], 1.0f / (2.0f * 0.01f));
    ASSERT_EQ(p.time_pow.size(), 2u);
    EXPECT_EQ(p.time_pow[0], 0.0f);
    EXPECT_EQ(p.time_pow[1], std::pow(0.01f, window_exponent(kEps, kEta)));
}

TEST(SpectrumPlan, AxesAndExponent) {
    EXPECT_EQ(window_exponent(kEps, kEta), 1.2531499f);
    const float dt = 0.005f;
    const SpectrumPlan p = SpectrumPlan::make(4096, dt, 0.6f, kEps, kEta);
    ASSERT_EQ(p.ln_freqs.size(), 2049u);
    ASSERT_EQ(p.freq_pow.size(), 2049u);
    ASSERT_EQ(p.time_pow.size(), 4096u);
    EXPECT_TRUE(std::isinf(p.ln_freqs[0]) && p.ln_freqs[0] < 0.0f);
    EXPECT_NEAR(p.freqs[2048], 1.0f / (2.0f * dt), 1e-4f);
    EXPECT_EQ(p.freqs[1000], 1000.0f * (1.0f / (4096.0f * dt)));
    EXPECT_FLOAT_EQ(p.ln_freqs[1000], std::log(p.freqs[1000]));
    EXPECT_FLOAT_EQ(p.freq_pow[1000], std::pow(p.freqs[1000], 0.4f));
}

TEST(PlanCache, BuildsOncePerLengthAndNothingOnAStop) {
    PlanCache cache(0.01f, 0.5f, kEps, kEta);
    const SpectrumPlan& a = cache.for_length(64);
    const SpectrumPlan& b = cache.for_length(64);
    EXPECT_EQ(&a, &b);
    EXPECT_EQ(cache.plans.size(), 1u);
    (void)cache.for_length(128);
    EXPECT_EQ(&cache.for_length(64), &a);  // references survive later insertions
    EXPECT_EQ(fault_message([&] { (void)cache.for_length(7); }),
              "a spectrum plan needs an even length of at least 2, got 7");
    EXPECT_EQ(cache.plans.size(), 2u);
}

TEST(SpectrumShape, WindowHasUnitEnergyAndPeaksAtEpsTw) {
    const float dt = 0.01f;
    PlanCache cache(dt, 0.6f, kEps, kEta);
    const SpectrumPlan& plan = cache.for_length(8192);
    SpectrumShape shape = SpectrumShape::with_capacity(8192);
    EXPECT_EQ(shape.dt, 0.0f);
    SourceSpectrumParams src = typical_source();
    src.window_length_s = 10.0f;
    shape.refresh(plan, WindowParams{dt, kEps, kEta, 0.04f}, src);
    EXPECT_EQ(shape.dt, dt);
    EXPECT_EQ(shape.window[0], 0.0f);
    double energy = 0.0;
    for (float w : shape.window) energy += static_cast<double>(w) * w * dt;
    EXPECT_NEAR(energy, 1.0, 1e-3);
    const auto peak = std::max_element(shape.window.begin(), shape.window.end());
    EXPECT_NEAR(static_cast<double>(peak - shape.window.begin()), 200.0, 1.0);  // 0.2 * 10 s / dt
}

TEST(SpectrumShape, TargetAmplitudeForms) {
    const float dt = 0.01f;
    const float q_exp = 0.6f;
    PlanCache cache(dt, q_exp, kEps, kEta);
    const SpectrumPlan& plan = cache.for_length(2048);
    SpectrumShape shape = SpectrumShape::with_capacity(2048);
    SourceSpectrumParams src = typical_source();

    // kappa form: matches the written-out amplitude; fmax has no effect.
    shape.refresh(plan, WindowParams{dt, kEps, kEta, 0.03f}, src);
    for (std::size_t k = 1; k < plan.n_freq; k += 37) {
        const double want = target_amplitude(plan.freqs[k], src, 0.03, q_exp);
        EXPECT_NEAR(shape.amplitude[k] / want, 1.0, 1e-5) << k;
    }
    std::vector<double> kappa_amp(shape.amplitude.begin(), shape.amplitude.begin() + 1025);
    src.fmax_hz = 1.0f;
    shape.refresh(plan, WindowParams{dt, kEps, kEta, 1e-30f}, src);
    SourceSpectrumParams other = src;
    other.fmax_hz = 1000.0f;
    std::vector<double> tiny(shape.amplitude.begin(), shape.amplitude.begin() + 1025);
    shape.refresh(plan, WindowParams{dt, kEps, kEta, 1e-30f}, other);
    EXPECT_TRUE(std::equal(tiny.begin(), tiny.end(), shape.amplitude.begin()));

    // kappa = 0: the first-power fmax filter, 0.5 at f = fmax.
    const std::size_t kf = 500;
    src.fmax_hz = plan.freqs[kf];
    shape.refresh(plan, WindowParams{dt, kEps, kEta, 0.0f}, src);
    const double with_fmax = shape.amplitude[kf];
    for (std::size_t k = 1; k < plan.n_freq; k += 37) {
        const double want = target_amplitude(plan.freqs[k], src, 0.0, q_exp);
        EXPECT_NEAR(shape.amplitude[k] / want, 1.0, 1e-5) << k;
    }
    src.fmax_hz = std::numeric_limits<float>::infinity();
    shape.refresh(plan, WindowParams{dt, kEps, kEta, -0.0f}, src);
    EXPECT_NEAR(with_fmax / shape.amplitude[kf], 0.5, 1e-6);

    // Shape factor 1: the shape term is 1 at every frequency.
    src.shape_factor = 1.0f;
    shape.refresh(plan, WindowParams{dt, kEps, kEta, 0.02f}, src);
    for (std::size_t k = 1; k < plan.n_freq; k += 101) {
        const double want = target_amplitude(plan.freqs[k], src, 0.02, q_exp);
        EXPECT_NEAR(shape.amplitude[k] / want, 1.0, 1e-5);
    }
}

TEST(SpectrumShape, BinZeroStaysZeroAndOversizePlanWritesNothing) {
    const float dt = 0.02f;
    PlanCache cache(dt, 0.5f, kEps, kEta);
    SpectrumShape shape = SpectrumShape::with_capacity(1024);
    for (std::size_t n : {1024u, 512u, 64u, 1024u}) {
        for (float kappa : {0.0f, 0.05f, std::numeric_limits<float>::quiet_NaN()}) {
            shape.refresh(cache.for_length(n), WindowParams{dt, kEps, kEta, kappa}, typical_source());
            EXPECT_EQ(shape.amplitude[0], 0.0);
        }
    }
    const std::vector<float> before = shape.window;
    EXPECT_EQ(fault_message([&] {
                  shape.refresh(cache.for_length(2048), WindowParams{dt, kEps, kEta, 0.0f},
                                typical_source());
              }),
              "range end index 2048 out of range for slice of length 1024");
    EXPECT_EQ(shape.window, before);
}

TEST(RadiateAndInvert, UnitAmplitudeRecoversScaledSignalAndTapersTheEnd) {
    for (std::size_t n : {8u, 10u, 20u, 160u}) {
        std::vector<float> x(n);
        for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(0.7f * static_cast<float>(i)) + 0.3f;
        std::vector<std::complex<float>> row(n);
        for (std::size_t i = 0; i < n; ++i) row[i] = {x[i], 0.0f};
        fft::transform(row, true);
        std::vector<float> amp(n / 2 + 1, 1.0f);
        std::vector<float> out(n, -1.0f);
        radiate_and_invert(row, amp, out);
        const std::size_t m = n / 10;
        for (std::size_t i = 0; i < n - m; ++i) {
            EXPECT_NEAR(out[i], x[i] / 0.4473f, 1e-5f * 5.0f) << "n=" << n << " i=" << i;
        }
        if (m > 0) {
            EXPECT_EQ(out[n - 1], 0.0f) << n;
        }
        if (n == 20) {
            EXPECT_NEAR(out[18] / (x[18] / 0.4473f), 0.5f, 1e-6f);
        }
        // The row keeps the unscaled inverse transform.
        EXPECT_NEAR(row[3].real(), static_cast<float>(n) * x[3], 1e-4f * static_cast<float>(n));
    }
}

TEST(RadiateAndInvert, MirrorBinsKeepTheSignalReal) {
    const std::size_t n = 64;
    std::vector<std::complex<float>> row(n);
    for (std::size_t i = 0; i < n; ++i) row[i] = {std::cos(0.3f * static_cast<float>(i * i)), 0.0f};
    fft::transform(row, true);
    std::vector<float> amp(n / 2 + 1);
    for (std::size_t k = 0; k < amp.size(); ++k) amp[k] = 1.0f + static_cast<float>(k) * 0.25f;
    std::vector<float> out(n);
    radiate_and_invert(row, amp, out);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(row[i].imag(), 0.0f, 1e-3f) << i;
}

TEST(RadiateAndInvert, Stops) {
    std::vector<std::complex<float>> row(8);
    std::vector<float> out(8);
    std::vector<float> amp1(1, 1.0f);
    EXPECT_EQ(fault_message([&] { radiate_and_invert(row, amp1, out); }),
              "attempt to subtract with overflow");
    std::vector<float> amp6(6, 1.0f);  // needs 10 bins
    EXPECT_EQ(fault_message([&] { radiate_and_invert(row, amp6, out); }),
              "range end index 10 out of range for slice of length 8");
    std::vector<float> amp5(5, 1.0f);
    std::vector<float> short_out(7);
    EXPECT_EQ(fault_message([&] { radiate_and_invert(row, amp5, short_out); }),
              "assertion failed: part.equal_dim(dimension)");
}
