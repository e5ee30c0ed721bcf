// Spectrum plans, the target shape, the baseline correction of the noise, the
// scale and end taper of the inverse, and the stops of the spectral steps.
// Their arithmetic is pinned end to end by the reference record of run_test.
#include "korvane/stoc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

#include "kit.hpp"
#include "korvane/fft.hpp"

#pragma GCC diagnostic ignored "-Wdouble-promotion"  // double references from f32 inputs

using namespace korvane;
using namespace korvane::stoc;
using korvane::testing::fault_message;

namespace {
constexpr float kEps = 0.2f, kEta = 0.05f, kDt = 0.01f;
}  // namespace

TEST(SpectrumPlan, ExponentAndCache) {
    EXPECT_EQ(window_exponent(kEps, kEta), 1.2531499f);
    PlanCache cache(kDt, 0.5f, kEps, kEta);
    (void)cache.for_length(64);
    (void)cache.for_length(64);
    for (std::size_t n : {0u, 1u, 7u}) {
        EXPECT_EQ(fault_message([&] { (void)cache.for_length(n); }),
                  "a spectrum plan needs an even length of at least 2, got " + std::to_string(n));
    }
    EXPECT_EQ(cache.plans.size(), 1u);  // one plan per length; a stop inserts nothing
}

// A NaN kappa takes the kappa form exp(-pi kappa f): the amplitude is NaN,
// not the finite fmax form. A plan longer than the buffers writes nothing.
TEST(SpectrumShape, NanKappaAndOversizePlan) {
    const SpectrumPlan plan = SpectrumPlan::make(2048, kDt, 0.6f, kEps, kEta);
    const SourceSpectrumParams src{.distance_km = 30.0f, .window_length_s = 10.0f, .beta_km_s = 3.5f,
                                   .density_g_cm3 = 2.8f, .corner_frequency_hz = 0.8f, .moment_dyne_cm = 1.0e24f,
                                   .shape_factor = 2.0f, .fmax_hz = 10.0f, .path_t = 0.01f};
    SpectrumShape shape = SpectrumShape::with_capacity(2048), small = SpectrumShape::with_capacity(1024);
    shape.refresh(plan, {kDt, kEps, kEta, std::numeric_limits<float>::quiet_NaN()}, src);
    for (const std::size_t k : {1u, 1024u}) EXPECT_TRUE(std::isnan(shape.amplitude[k])) << "bin " << k;
    EXPECT_EQ(fault_message([&] { small.refresh(plan, {kDt, kEps, kEta, 0.0f}, src); }),
              "range end index 2048 out of range for slice of length 1024");
    EXPECT_TRUE(std::ranges::equal(small.window, std::vector<float>(1024, 0.0f)));
}

// The window has unit energy (sum of w^2 dt, the window decayed within the
// plan) and peaks at eps Tw.
TEST(SpectrumShape, WindowHasUnitEnergyAndPeaksAtEpsTw) {
    const SpectrumPlan plan = SpectrumPlan::make(4096, kDt, 0.6f, kEps, kEta);
    SpectrumShape shape = SpectrumShape::with_capacity(4096);
    for (float tw : {1.5f, 7.5f}) {
        shape.refresh(plan, {kDt, kEps, kEta, 0.04f}, {30.0f, tw, 3.5f, 2.8f, 0.8f, 1.0e24f, 2.0f, 10.0f, 0.01f});
        double energy = 0.0;
        for (float w : shape.window) energy += static_cast<double>(w) * w * kDt;
        const auto peak = std::max_element(shape.window.begin(), shape.window.end()) - shape.window.begin();
        EXPECT_NEAR(energy, 1.0, 1e-3) << "Tw " << tw;
        EXPECT_NEAR(static_cast<float>(peak) * kDt, kEps * tw, kDt) << "Tw " << tw;
    }
}

// The shaped half spectrum is the DFT (in double, from the definition) of the
// windowed noise left in the shape, scaled so that its mean squared magnitude
// over the n/2 + 1 bins is 1/dt^2, times the target amplitude and the gain per
// bin.
TEST(SpectrumShape, NoiseSpectrumIsTheScaledDftOfTheWindowedNoise) {
    constexpr std::size_t n = 96, m = n / 2 + 1;
    const SpectrumPlan plan = SpectrumPlan::make(n, kDt, 0.6f, kEps, kEta);
    SpectrumShape shape = SpectrumShape::with_capacity(n);
    shape.refresh(plan, {kDt, kEps, kEta, 0.04f}, {30.0f, 0.3f, 3.5f, 2.8f, 0.8f, 1.0e24f, 2.0f, 10.0f, 0.01f});
    rng::DrawSource draws = rng::DrawSource::for_key(rng::Variant::Pcg, 1);
    std::vector<std::complex<float>> row(m);
    std::vector<float> gains(m);
    for (std::size_t k = 0; k < m; ++k) gains[k] = 1.0f + 0.01f * float(k);
    shape_noise_spectrum(shape, plan, gains, draws, row);
    std::vector<std::complex<double>> dft(m);
    double energy = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        for (std::size_t j = 0; j < n; ++j) {
            dft[k] += std::polar<double>(shape.noise[j], -2 * std::numbers::pi * double(j * k % n) / n);
        }
        energy += std::norm(dft[k]);
    }
    const double scale = 1.0 / (kDt * std::sqrt(energy / m));
    EXPECT_EQ(row[0], 0.0f);  // the target amplitude is 0 at 0 Hz
    EXPECT_EQ(shape.noise[0], 0.0f);  // and so is the window at t = 0
    for (std::size_t k = 1; k < m; ++k) {
        const std::complex<double> want = dft[k] * shape.amplitude[k] * scale * double(gains[k]);
        EXPECT_LT(std::abs(std::complex<double>(row[k]) - want), 1e-5 * std::abs(want) + 1e-30) << "bin " << k;
    }
}

TEST(SpectralSteps, Stops) {
    std::vector<std::complex<float>> row(5);
    const SpectrumPlan plan = SpectrumPlan::make(8, kDt, 0.5f, kEps, kEta);
    SpectrumShape shape = SpectrumShape::with_capacity(8);
    rng::DrawSource draws = rng::DrawSource::for_key(rng::Variant::Pcg, 1);
    const std::string unequal = "assertion failed: part.equal_dim(dimension)";
    std::vector<float> out(8), short_out(7), amp5(5, 1.0f), amp6(6, 1.0f);
    EXPECT_EQ(fault_message([&] { shape_noise_spectrum(shape, plan, amp5, draws, std::span(row).first(4)); }), unequal);
    EXPECT_EQ(fault_message([&] { shape_noise_spectrum(shape, plan, amp6, draws, row); }), unequal);
    EXPECT_EQ(fault_message([&] { radiate_and_invert(plan, row, amp6, out); }), unequal);
    EXPECT_EQ(fault_message([&] { radiate_and_invert(plan, std::span(row).first(4), amp5, out); }), unequal);
    EXPECT_EQ(fault_message([&] { radiate_and_invert(plan, row, amp5, short_out); }), unequal);
}

// The half spectrum, radiated, inverts to the real part of the complex inverse
// of the whole (mirrored) spectrum over n 0.4473 (the unnormalised inverse,
// less the average radiation and partition), its last n / 10 samples tapered
// by a half cosine to exactly 0 (nothing below 10 samples). The complex
// inverse's imaginary part is rounding alone, so dropping it loses nothing;
// imaginary parts at 0 Hz and Nyquist, which only a non-Hermitian spectrum
// has, are not read.
TEST(SpectralSteps, InverseIsTheScaledTaperedRealPartOfTheComplexOne) {
    for (std::size_t n : {8u, 40u, 96u, 3584u}) {
        const std::size_t nf = n / 2 + 1, m = n / 10;
        const SpectrumPlan plan = SpectrumPlan::make(n, kDt, 0.5f, kEps, kEta);
        std::vector<std::complex<float>> half(nf), full(n);
        std::vector<float> amp(nf), out(n), out_odd(n);
        for (std::size_t k = 0; k < nf; ++k) {
            half[k] = {std::cos(0.7f * float(k)), (k == 0 || k == nf - 1) ? 0.0f : std::cos(1.3f * float(k))};
            amp[k] = 1.0f + 0.5f * std::cos(0.1f * float(k));
            full[k] = half[k] * amp[k];
            if (k > 0 && k < nf - 1) full[n - k] = std::conj(full[k]);
        }
        std::vector<std::complex<float>> odd = half;
        odd[0].imag(5.0f), odd[nf - 1].imag(-3.0f);
        radiate_and_invert(plan, half, amp, out);
        radiate_and_invert(plan, odd, amp, out_odd);
        fft::transform(full, false);
        double peak = 0.0, imag = 0.0;
        for (const auto& z : full)
            peak = std::max(peak, double(std::abs(z.real()))), imag = std::max(imag, double(std::abs(z.imag())));
        EXPECT_LT(imag, 1e-6 * peak) << "n " << n;
        EXPECT_EQ(out, out_odd) << "n " << n;
        EXPECT_TRUE(m == 0 || out[n - 1] == 0.0f) << "n " << n;
        const double scale = 1.0 / (double(n) * 0.4473);
        for (std::size_t i = 0; i < n; ++i) {
            const double taper =
                i < n - m ? 1.0 : 0.5 * (1.0 + std::cos(std::numbers::pi * double(i - (n - m) + 1) / double(m)));
            ASSERT_NEAR(out[i], full[i].real() * scale * taper, 1e-6 * peak * scale) << "n " << n << ", sample " << i;
        }
    }
}
