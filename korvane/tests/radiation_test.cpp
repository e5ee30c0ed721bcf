#include "korvane/radiation.hpp"

#include <gtest/gtest.h>

#include "kit.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "korvane/fault.hpp"
#include "korvane/rng.hpp"

// Reference values are computed in double from f32 inputs.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

using namespace korvane;
using namespace korvane::radiation;

using korvane::testing::fault_message;

namespace {

constexpr float kHalfPi = 1.5707964f;
constexpr float kPi = 3.1415927f;

// Closed forms in double from the f32 angles.
double closed_sh(double l, double d, double i, double p) {
    return std::cos(l) * std::cos(d) * std::cos(i) * std::sin(p) +
           std::cos(l) * std::sin(d) * std::sin(i) * std::cos(2 * p) +
           std::sin(l) * std::cos(2 * d) * std::cos(i) * std::cos(p) -
           0.5 * std::sin(l) * std::sin(2 * d) * std::sin(i) * std::sin(2 * p);
}
double closed_sv(double l, double d, double i, double p) {
    return std::sin(l) * std::cos(2 * d) * std::cos(2 * i) * std::sin(p) -
           std::cos(l) * std::cos(d) * std::cos(2 * i) * std::cos(p) +
           0.5 * std::cos(l) * std::sin(d) * std::sin(2 * i) * std::sin(2 * p) -
           0.5 * std::sin(l) * std::sin(2 * d) * std::sin(2 * i) * (1 + std::sin(p) * std::sin(p));
}

std::vector<float> freq_axis() {
    return {0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 1.5f, 2.0f, 2.5f, 10.0f,
            std::numeric_limits<float>::quiet_NaN()};
}

}  // namespace

TEST(RadiationCoefficients, MatchClosedFormsOverAGrid) {
    double worst = 0.0;
    for (float l = -3.0f; l <= 3.2f; l += 0.41f)
        for (float d = 0.0f; d <= 1.6f; d += 0.23f)
            for (float i = 0.0f; i <= 3.2f; i += 0.29f)
                for (float p = -3.2f; p <= 6.3f; p += 0.37f) {
                    const Coefficients c = radiation_coefficients(l, d, i, p);
                    worst = std::max(worst, std::fabs(c.sh - closed_sh(l, d, i, p)));
                    worst = std::max(worst, std::fabs(c.sv - closed_sv(l, d, i, p)));
                }
    EXPECT_LT(worst, 2e-6);
}

TEST(HorizontalRadiation, SignFromExactProjectionMagnitudeFromRms) {
    const float strike = 0.3f, dip = 1.1f, rake = 0.4f, az = 1.9f, takeoff = 2.2f;
    const Coefficients c = radiation_coefficients(rake, dip, takeoff, az - strike);
    const auto freqs = freq_axis();
    for (float theta : {-kHalfPi, 0.0f}) {
        const std::size_t n_real = 1000;
        auto draws = rng::DrawSource::for_key(rng::Variant::Pcg, 77);
        auto twin = rng::DrawSource::for_key(rng::Variant::Pcg, 77);
        std::vector<float> out(freqs.size());
        horizontal_radiation_spectrum(c.sh, c.sv, strike, dip, rake, az, takeoff, theta, draws,
                                      n_real, freqs, out);

        // Independent rms from the same draws through the closed forms.
        double sum = 0.0;
        for (std::size_t k = 0; k < n_real; ++k) {
            float u[5];
            for (float& x : u) x = twin.uniform();
            const double q = 1.5707963267948966;
            const double i = takeoff + (0.5 - u[0]) * q, a = az + (0.5 - u[1]) * q;
            const double s = strike + (0.5 - u[2]) * q, d = dip + (0.5 - u[3]) * q;
            const double l = rake + (0.5 - u[4]) * q;
            const double r = std::sin(theta - a) * closed_sh(l, d, i, a - s) +
                             std::cos(theta - a) * closed_sv(l, d, i, a - s);
            sum += r * r;
        }
        EXPECT_EQ(draws.next_u64(), twin.next_u64());  // exactly 5 * n_real uniforms taken
        const double rms = std::sqrt(sum / n_real);
        const double exact = std::sin(theta - az) * c.sh + std::cos(theta - az) * c.sv;
        const double sign = exact < 0 ? -1.0 : 1.0;
        auto mag = [&](double w) { return sign * (std::fabs(exact) + w * (rms - std::fabs(exact))); };
        EXPECT_NEAR(out[0], mag(1.0), 1e-5);
        EXPECT_NEAR(out[1], mag(1.0), 1e-5);
        EXPECT_NEAR(out[2], mag(1.0), 1e-5);  // 0.5 Hz: the rms, a step below the blend
        EXPECT_NEAR(out[3], mag(std::log(1.5) / std::log(4.0)), 1e-5);
        EXPECT_NEAR(out[4], mag(0.5), 1e-5);
        EXPECT_NEAR(out[6], mag(1.0), 1e-5);
        EXPECT_NEAR(out[8], mag(1.0), 1e-5);
        EXPECT_EQ(out[9], out[8]);  // NaN frequency: the rms
    }
}

TEST(HorizontalRadiation, ZeroOrNaNProjectionTakesPlusSign) {
    const auto freqs = freq_axis();
    std::vector<float> out(freqs.size());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (float z : {0.0f, -0.0f, nan}) {
        auto draws = rng::DrawSource::for_key(rng::Variant::Pcg, 5);
        // theta = 0, az = 0.2: R = sin(-0.2) * z + cos(-0.2) * z.
        horizontal_radiation_spectrum(z, z, 0.1f, 0.7f, -1.2f, 0.2f, 2.0f, 0.0f, draws, 50, freqs,
                                      out);
        for (float v : out) EXPECT_FALSE(std::signbit(v)) << z;
    }
    std::vector<float> short_out(3);
    auto draws = rng::DrawSource::for_key(rng::Variant::Pcg, 5);
    EXPECT_EQ(fault_message([&] {
                  horizontal_radiation_spectrum(0.1f, 0.2f, 0, 0, 0, 0, 2.0f, 0, draws, 1, freqs,
                                                short_out);
              }),
              "assertion failed: part.equal_dim(dimension)");
}

TEST(VerticalRadiation, ExactRampAverage) {
    const float strike = 0.5f, dip = 0.9f, rake = 1.3f, az = 2.4f, takeoff = 2.5f;
    std::vector<float> u(1000), w(1000);
    auto draws = rng::DrawSource::for_key(rng::Variant::Pcg, 9);
    for (float& x : u) x = draws.uniform();
    for (float& x : w) x = draws.uniform();
    const std::vector<float> freqs{0.0f, 0.0005f, 0.001f, 0.0055f, 0.01f, 0.02f, 5.0f,
                                   std::numeric_limits<float>::quiet_NaN()};
    std::vector<float> out(freqs.size());
    vertical_radiation_spectrum({strike, dip, rake, az, takeoff}, freqs, u, w, 1000, out);

    const float det = radiation_coefficients(rake, dip, takeoff, az - strike).sv * std::sin(takeoff);
    EXPECT_EQ(out[0], det);
    EXPECT_EQ(out[1], det);
    EXPECT_EQ(out[2], det);
    const float avg = out[6];
    EXPECT_GE(avg, 0.0f);
    EXPECT_EQ(out[5], avg);
    EXPECT_EQ(out[7], avg);
    EXPECT_NEAR(out[4], avg, 1e-6f);
    EXPECT_NEAR(out[3], 0.5f * (avg + det), 1e-6f);

    // The average against a double evaluation over the same directions.
    const double lo = std::max(takeoff - 0.6981317, 1.5707963267948966);
    const double hi = std::min(takeoff + 0.6981317, 3.141592653589793);
    double sum = 0.0;
    for (std::size_t k = 0; k < 1000; ++k) {
        const double i = std::acos(u[k] * std::cos(hi) + (1 - u[k]) * std::cos(lo));
        sum += std::fabs(closed_sv(rake, dip, i, w[k] * 6.283185307179586 - strike) * std::sin(i));
    }
    EXPECT_NEAR(avg, 0.5 * sum / 1000, 1e-5);

    // Bit for bit the f32 sum over radiation_coefficients.
    const float lo32 = std::fmax(takeoff - 0.6981317f, kHalfPi);
    const float hi32 = std::fmin(takeoff + 0.6981317f, kPi);
    float s32 = 0.0f;
    for (std::size_t k = 0; k < 1000; ++k) {
        const float i = std::acos(u[k] * std::cos(hi32) + (1.0f - u[k]) * std::cos(lo32));
        s32 = s32 + std::fabs(radiation_coefficients(rake, dip, i, w[k] * 6.2831855f - strike).sv *
                              std::sin(i));
    }
    EXPECT_EQ(avg, (s32 / 1000.0f) * 0.5f);
}

TEST(VerticalRadiation, TakeOffBandLimits) {
    const float strike = 0.2f, dip = 0.8f, rake = 0.6f;
    const std::vector<float> freqs{1.0f};
    std::vector<float> out(1);
    const std::vector<float> w{0.3f};
    // One direction at the band's lower (u = 0) or upper (u -> 1) end.
    auto one = [&](float takeoff, float u0) {
        vertical_radiation_spectrum({strike, dip, rake, 1.0f, takeoff}, freqs,
                                    std::vector<float>{u0}, w, 1, out);
        return out[0];
    };
    auto at = [&](double i) {
        return 0.5 * std::fabs(closed_sv(rake, dip, i, 0.3f * 6.2831855f - strike) * std::sin(i));
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_NEAR(one(kHalfPi, 0.0f), at(kHalfPi), 1e-5);
    EXPECT_NEAR(one(kHalfPi, 1.0f), at(kHalfPi + 0.6981317), 1e-5);
    EXPECT_NEAR(one(kPi, 0.0f), at(kPi - 0.6981317), 1e-5);
    EXPECT_NEAR(one(kPi, 1.0f), at(kPi), 1e-5);
    EXPECT_NEAR(one(nan, 0.0f), at(kHalfPi), 1e-5);
    EXPECT_NEAR(one(nan, 1.0f), at(kPi), 1e-5);
}

TEST(VerticalRadiation, ShortListsAndStops) {
    const std::vector<float> freqs{1.0f};
    std::vector<float> out(1), out2(1);
    const std::vector<float> u{0.1f, 0.7f, 0.4f}, w{0.9f, 0.2f, 0.6f};
    const std::array<float, 5> ang{0.1f, 0.5f, 0.9f, 1.2f, 2.3f};
    // w shorter than n_draw: fewer directions, still divided by n_draw.
    vertical_radiation_spectrum(ang, freqs, u, std::span(w).first(2), 3, out);
    vertical_radiation_spectrum(ang, freqs, std::span(u).first(2), w, 2, out2);
    EXPECT_FLOAT_EQ(out[0] * 3.0f, out2[0] * 2.0f);
    EXPECT_EQ(fault_message([&] { vertical_radiation_spectrum(ang, freqs, u, w, 4, out); }),
              "range end index 4 out of range for slice of length 3");
    std::vector<float> two(2);
    EXPECT_EQ(fault_message([&] { vertical_radiation_spectrum(ang, freqs, u, w, 3, two); }),
              "assertion failed: part.equal_dim(dimension)");
}
