#include "korvane/radiation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numbers>

#include "kit.hpp"
#include "scalar_radiation.hpp"

// Reference values are computed in double from f32 inputs.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

using namespace korvane::radiation;
using namespace korvane::rng;
using korvane::testing::fault_message;
using korvane::testing::scalar_perturbed_rms;
using korvane::testing::scalar_vertical_average;

static constexpr double kPi = std::numbers::pi;

// Double-couple far-field coefficients in closed form (rake l, dip d, take-off i, phi p).
static double closed_sh(double l, double d, double i, double p) {
    return cos(l) * cos(d) * cos(i) * sin(p) + cos(l) * sin(d) * sin(i) * cos(2 * p) +
           sin(l) * cos(2 * d) * cos(i) * cos(p) - 0.5 * sin(l) * sin(2 * d) * sin(i) * sin(2 * p);
}
static double closed_sv(double l, double d, double i, double p) {
    return sin(l) * cos(2 * d) * cos(2 * i) * sin(p) - cos(l) * cos(d) * cos(2 * i) * cos(p) +
           0.5 * sin(2 * i) * (cos(l) * sin(d) * sin(2 * p) - sin(l) * sin(2 * d) * (1 + sin(p) * sin(p)));
}

// Sign of the exact projection R; magnitude the rms over angles perturbed by up
// to pi/4 (5 uniforms each), blended towards |R| over (0.5, 2] Hz.
TEST(Radiation, HorizontalSpectrum) {
    const float strike = 0.3f, dip = 1.1f, rake = 0.4f, az = 1.9f, takeoff = 2.2f;
    const Coefficients c = radiation_coefficients(rake, dip, takeoff, az - strike);
    const std::vector<float> freqs{0.0f, 0.5f, 0.75f, 1.0f, 2.0f, 10.0f, NAN};
    const double weight[] = {1, 1, std::log(1.5) / std::log(4.0), 0.5, 1, 1, 1};
    std::vector<float> out(freqs.size());
    for (float theta : {-1.5707964f, 0.0f}) {
        DrawSource draws = DrawSource::for_key(Variant::Pcg, 77), twin = draws;
        horizontal_radiation_spectrum(c.sh, c.sv, strike, dip, rake, az, takeoff, theta, draws, 1000, freqs, out);
        double sum = 0.0, u[5];
        for (int k = 0; k < 1000; ++k) {
            for (double& x : u) x = (0.5 - twin.uniform()) * kPi / 2;
            const double i = takeoff + u[0], a = az + u[1], s = strike + u[2], d = dip + u[3], l = rake + u[4];
            sum += std::pow(sin(theta - a) * closed_sh(l, d, i, a - s) + cos(theta - a) * closed_sv(l, d, i, a - s), 2);
        }
        const double rms = std::sqrt(sum / 1000), r = std::sin(theta - az) * c.sh + std::cos(theta - az) * c.sv;
        for (std::size_t k = 0; k < freqs.size(); ++k) {
            EXPECT_NEAR(out[k], std::copysign(std::fabs(r) + weight[k] * (rms - std::fabs(r)), r), 1e-5) << freqs[k];
        }
        for (float z : {0.0f, -0.0f, NAN}) {  // R = +-0 or NaN: the + sign; no bin past the end is written
            out.back() = -1.0f;
            horizontal_radiation_spectrum(z, z, 0.1f, 0.7f, -1.2f, 0.2f, 2.0f, theta, draws, 5,
                                          std::span(freqs).first(6), std::span(out).first(6));
            EXPECT_TRUE(std::none_of(out.begin(), out.end() - 1, [](float v) { return std::signbit(v); }))
                << "sign, R " << z;
            EXPECT_EQ(out[6], -1) << "past the end, R " << z;
        }
    }
    DrawSource d = DrawSource::for_key(Variant::Pcg, 1);
    EXPECT_EQ(fault_message([&] { horizontal_radiation_spectrum(0, 0, 0, 0, 0, 0, 2, 0, d, 1, freqs, {}); }),
              "assertion failed: part.equal_dim(dimension)");
}

// sv sin(i): exact at and below 0.001 Hz, half the mean |.| over directions in the
// +-40 degree take-off band (within [pi/2, pi]) above 0.01 Hz, a linear ramp between.
TEST(Radiation, VerticalSpectrum) {
    const float strike = 0.5f, dip = 0.9f, rake = 1.3f, az = 2.4f;
    std::vector<float> u(1000), w(1000), out(7), two(7);
    DrawSource draws = DrawSource::for_key(Variant::Pcg, 9);
    for (std::size_t k = 0; k < 1000; ++k) u[k] = draws.uniform(), w[k] = draws.uniform();
    const std::vector<float> freqs{0.0f, 0.001f, 0.0055f, 0.01f, 0.02f, 5.0f, NAN};
    const double ramp[] = {0, 0, 0.5, 1, 1, 1, 1};
    for (auto [takeoff, lo, hi] : {std::tuple{2.5f, 2.5 - 0.6981317, kPi}, {1.5707964f, kPi / 2, kPi / 2 + 0.6981317},
                                   {0.5f, kPi / 2, 0.5 + 0.6981317}, {float(NAN), kPi / 2, kPi}}) {
        vertical_radiation_spectrum({strike, dip, rake, az, takeoff}, freqs, u, w, 1000, out);
        double sum = 0.0;
        for (std::size_t k = 0; k < 1000; ++k) {
            const double i = std::acos(u[k] * std::cos(hi) + (1 - u[k]) * std::cos(lo));
            sum += std::fabs(closed_sv(rake, dip, i, w[k] * 2 * kPi - strike) * std::sin(i));
        }
        const double avg = 0.5 * sum / 1000, det = closed_sv(rake, dip, takeoff, az - strike) * std::sin(takeoff);
        for (std::size_t k = 0; k < freqs.size(); ++k) {
            if (std::isnan(det) && !(freqs[k] > 0.01f)) continue;  // NaN in the ramp
            EXPECT_NEAR(out[k], ramp[k] == 1 ? avg : det + ramp[k] * (avg - det), 2e-5) << takeoff << " " << freqs[k];
        }
    }
    // No directions: the average is 0/0, yet the exact bins stay exact; no bin past the end is written.
    out[6] = 42.0f;
    vertical_radiation_spectrum({strike, dip, rake, az, 2.5f}, std::span(freqs).first(6), u, w, 0,
                                std::span(out).first(6));
    EXPECT_NEAR(out[1], closed_sv(rake, dip, 2.5f, az - strike) * sin(2.5f), 1e-6);
    EXPECT_TRUE(std::isnan(out[2])) << "averaged bin";
    EXPECT_EQ(out[6], 42) << "past the end";
    // w shorter than n_draw: fewer directions, still divided by n_draw.
    vertical_radiation_spectrum({strike, dip, rake, az, 2.5f}, freqs, u, std::span(w).first(2), 3, out);
    vertical_radiation_spectrum({strike, dip, rake, az, 2.5f}, freqs, u, w, 2, two);
    EXPECT_FLOAT_EQ(out[5] * 3.0f, two[5] * 2.0f);
    EXPECT_EQ(fault_message([&] { vertical_radiation_spectrum({}, freqs, u, w, 1001, out); }),
              "range end index 1001 out of range for slice of length 1000");
    EXPECT_EQ(fault_message([&] { vertical_radiation_spectrum({}, freqs, u, w, 9, {}); }),
              "assertion failed: part.equal_dim(dimension)");
}

// The averages against the scalar f32 evaluation with the C library's
// functions, realisation by realisation in the same order: the vector
// functions move them by rounding only, and exactly five uniforms go to each
// realisation.
TEST(Radiation, AveragesMatchScalarEvaluation) {
    const std::vector<float> far{10.0f};
    std::vector<float> out(1), u(1000), w(1000);
    struct Row { std::array<float, 5> angles; float theta; std::size_t n; };
    for (const Row& row : {Row{{0.3f, 1.1f, 0.4f, 1.9f, 2.2f}, 0.0f, 1000},
                           {{2.0f, 0.2f, -1.4f, 5.5f, 3.0f}, -1.5707964f, 130},
                           {{-0.7f, 1.5f, 3.1f, 0.1f, 1.7f}, -1.5707964f, 1}}) {
        const auto [strike, dip, rake, az, takeoff] = row.angles;
        DrawSource draws = DrawSource::for_key(Variant::Pcg, row.n), twin = draws;
        horizontal_radiation_spectrum(0, 1, strike, dip, rake, az, takeoff, row.theta, draws, row.n, far, out);
        const float rms = scalar_perturbed_rms(row.angles, row.theta, twin, row.n);
        EXPECT_NEAR(std::fabs(out[0]), rms, 1e-6f * rms) << "horizontal, n " << row.n;
        EXPECT_EQ(draws.uniform(), twin.uniform()) << "horizontal, n " << row.n;

        for (std::size_t k = 0; k < row.n; ++k) u[k] = twin.uniform(), w[k] = twin.uniform();
        vertical_radiation_spectrum(row.angles, far, std::span(u).first(row.n), w, row.n, out);
        const float avg = scalar_vertical_average(row.angles, u, w, row.n);
        EXPECT_NEAR(out[0], avg, 1e-6f * avg) << "vertical, n " << row.n;
    }
}
