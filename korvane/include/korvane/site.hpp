// Quarter-wavelength site amplification from the layer model (Joyner et al.
// 1981; Boore & Joyner 1997): at frequency f the amplification is
// sqrt(Z_ref / (rho_bar v_bar)), the square root of the impedance ratio of the
// source layer to the travel-time averages of the layers down to the depth a
// shear wave reaches in a quarter period 1/(4f). Log factors at a few fixed
// frequencies, their interpolation onto a plan's bins, and the application of
// the gains to a spectrum row. Units: km, km/s, g/cm^3, Hz; factors are
// natural logs, gains linear. Pure functions; no allocation.
#pragma once

#include <complex>
#include <cstddef>
#include <span>

#include "korvane/state.hpp"

namespace korvane::site {

// out[i] = ln of the quarter-wavelength amplification at f = exp(ln_f[i]):
// 0.5 * ln(Z_ref / (rho_bar * v_bar)), Z_ref = vs * rho of layer ref_layer,
// rho_bar and v_bar travel-time averages over the layers from 1 down to a
// quarter period of shear travel time. Layer 0 (air) never takes part and the
// walk never passes ref_layer: the reference layer takes whatever time is
// left. Stops on a bad ref_layer, fewer than two layers, a walk past the last
// layer (ref_layer 0 only) or out/ln_f of different lengths.
void site_amplification_factors(std::span<const state::RayLayer> layers, std::size_t ref_layer,
                                std::span<const float> ln_f, std::span<float> out);

// out[i] = exp of the table (xs, ys) interpolated linearly at grid[i], flat
// beyond both table ends; out[0] and out[n-1] are set from ys[0] and ys[m-1]
// whatever the grid holds there. One forward cursor (grid and xs ascending):
// a grid value below the previous one is extrapolated on the current segment.
void site_gain_curve(std::span<const float> grid, std::span<const float> xs, std::span<const float> ys,
                     std::span<float> out);

// Multiplies bins 0 .. n/2 of spectrum by gains (n/2 + 1 entries) and
// overwrites bins n/2 + 1 .. n - 1 with the conjugates of bins n/2 - 1 .. 1.
void apply_site_amplification(std::span<std::complex<float>> spectrum, std::span<const float> gains);

}  // namespace korvane::site
