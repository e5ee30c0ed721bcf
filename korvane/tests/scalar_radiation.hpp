// The radiation averages evaluated one realisation at a time in f32 with the C
// library's sine, cosine and arc cosine: the reference the vector kernels are
// checked against (radiation_test) and timed against (bench_radiation).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "korvane/angles.hpp"
#include "korvane/radiation.hpp"
#include "korvane/rng.hpp"

namespace korvane::testing {

// The rms of the horizontal projection on theta over n realisations, five
// uniforms each (take-off, azimuth, strike, dip, rake), every angle moved by
// up to pi/4.
inline float scalar_perturbed_rms(const std::array<float, 5>& angles, float theta,
                                  rng::DrawSource& draws, std::size_t n) {
    const auto [strike, dip, rake, az, takeoff] = angles;
    const auto perturb = [&](float angle) { return ((0.5f - draws.uniform()) * kHalfPi) + angle; };
    float sum = 0.0f;
    for (std::size_t k = 0; k < n; ++k) {
        const float i = perturb(takeoff), a = perturb(az), s = perturb(strike), d = perturb(dip);
        const radiation::Coefficients c = radiation::radiation_coefficients(perturb(rake), d, i, a - s);
        const float r = std::sin(theta - a) * c.sh + std::cos(theta - a) * c.sv;
        sum = sum + r * r;
    }
    return std::sqrt(sum / static_cast<float>(n));
}

// Half the mean |sv sin i| over the directions (u[k], w[k]), k < n: take-off
// uniform in cos i over the +-40 degree band within [pi/2, pi], azimuth uniform.
inline float scalar_vertical_average(const std::array<float, 5>& angles, std::span<const float> u,
                                     std::span<const float> w, std::size_t n) {
    const auto [strike, dip, rake, az, takeoff] = angles;
    const float c_lo = std::cos(std::fmax(takeoff - 0.6981317f, kHalfPi));
    const float c_hi = std::cos(std::fmin(takeoff + 0.6981317f, kPi));
    float sum = 0.0f;
    for (std::size_t k = 0; k < n; ++k) {
        const float i = std::acos(u[k] * c_hi + (1.0f - u[k]) * c_lo);
        const float sv = radiation::radiation_coefficients(rake, dip, i, w[k] * kTwoPi - strike).sv;
        sum = sum + std::fabs(sv * std::sin(i));
    }
    return (sum / static_cast<float>(n)) * 0.5f;
}

}  // namespace korvane::testing
