// Double-couple radiation amplitudes of one ray per frequency bin, from the
// far-field SH and SV coefficients of a point shear dislocation (Aki &
// Richards 2002). Above a few Hz the exact pattern is replaced by its average
// over perturbed source and ray angles, as scattering smooths the observed
// pattern (averaged coefficients as in Boore & Boatwright 1984): the rms over
// random realisations on the horizontals, half the mean absolute value over a
// band of directions on the vertical; at low frequency the exact value keeps
// its sign.
//
// Angles are f32 radians: strike, dip, rake of the segment; azimuth
// subfault -> station clockwise from north; take-off from the downward
// vertical (upgoing rays in (pi/2, pi]). Frequencies in Hz; the amplitudes are
// dimensionless.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "korvane/rng.hpp"

namespace korvane::radiation {

struct Coefficients {
    float sh = 0.0f;
    float sv = 0.0f;
};

// SH and SV far-field coefficients for rake, dip, take-off angle and relative
// azimuth phi = azimuth - strike, in f32 with a fixed operation order.
Coefficients radiation_coefficients(float rake, float dip, float takeoff, float phi);

// Horizontal component along the direction theta (-1.5707964f for 090, 0 for
// 000). The sign comes from the exact projection R of (sh, sv); the magnitude
// is the rms of the projection over n_real perturbed realisations (5 uniform
// draws each, every angle moved by up to pi/4), blended towards |R| between
// 0.5 and 2 Hz. Writes out[k] for every k < freqs.size(); sizes must match.
void horizontal_radiation_spectrum(float sh, float sv, float strike, float dip, float rake, float azimuth,
                                   float takeoff, float theta, rng::DrawSource& draws, std::size_t n_real,
                                   std::span<const float> freqs, std::span<float> out);

// Vertical component: sv * sin(take-off). Exact (signed) at and below 0.001
// Hz, half the mean absolute value over the directions given by (u, w) above
// 0.01 Hz, a linear ramp between. Directions are uniform in solid angle in a
// +-40 degree take-off band limited to [pi/2, pi] and uniform in azimuth.
// angles = [strike, dip, rake, azimuth, take-off]. Draws nothing.
void vertical_radiation_spectrum(const std::array<float, 5>& angles, std::span<const float> freqs,
                                 std::span<const float> u, std::span<const float> w, std::size_t n_draw,
                                 std::span<float> out);

}  // namespace korvane::radiation
