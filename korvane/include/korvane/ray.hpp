// Generalised rays through a flat, horizontally layered model: for one ray
// code, source depth and epicentral distance, the ray parameter, travel time,
// path length and t* of the ray.
//
// A ray code becomes a list of legs (one layer crossed in one wave mode, up or
// down), counted per layer and mode with fractional legs at the source and
// receiver ends. Its travel time is the Cagniard time t(p) = p r + sum of
// count * h * eta(v, p) over the layers (Cagniard 1939; de Hoop 1960;
// generalised rays as in Helmberger 1983), eta being the vertical slowness.
// The arrival is taken at the stationary-phase ray parameter, the real p where
// dt/dp = 0, found by bisection; the path length and t* follow from it.
//
// Layer 0 is on top (the thin air layer when the model has one), the last
// layer is the half-space (thickness 0); the receiver sits on the bottom of
// layer 0. Units: km, km/s, s, s/km; 64-bit arithmetic unless noted. The
// scratch state of a ray (state::RayState) lives in state.hpp.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "korvane/state.hpp"

namespace korvane::ray {

using state::GreenResult;
using state::RayLayer;
using state::RayState;
using state::Travel;
using state::WaveMode;

// The legs of a ray in travel order, source to receiver, and the mode of each
// (both lists always of one length).
struct RayPath {
    std::vector<std::size_t> legs;
    std::vector<WaveMode> modes;

    // Pushes legs start, start + 1, ... in `mode` until the next layer has
    // thickness exactly 0 (returns the last pushed layer) or the next index
    // passes moho - 1 (returns moho). Pushes nothing and returns start when
    // start > moho - 1. Stops when moho is 0 or a layer past the last is read.
    std::size_t descend_to_moho(WaveMode mode, std::span<const RayLayer> layers, std::size_t start, std::size_t moho);
};

// Longest path green_function builds: far beyond any physical ray (a code of
// a few dozen through a hundred layers has a few thousand legs), small enough
// that the path of any 32-bit code is refused before it is built.
inline constexpr std::size_t kMaxLegs = std::size_t{1} << 20;

// The most legs the path of ray `code` (>= 0) can have from a source in a
// layer between layer 0 and the half-space: a run stops on a path longer
// than kMaxLegs.
// 0 for a negative code and for a model of fewer than two layers.
std::size_t longest_path_legs(std::span<const RayLayer> layers, std::int32_t code);

// Fills `out` with p, t, path length and t* of ray `code` from a source at
// `source_depth_km` to a receiver on the bottom of layer 0 at horizontal
// distance `distance_km`, every leg in `mode`. Sources within 0.02 km of an
// interface are moved 0.02 km away from it. Stops with "ray type {} is
// negative; th1 would be undefined" for a negative code, with
// "build_ray_path needs at least one ray segment" for an empty path, with
// "ray type {} needs {} legs, more than the 1048576 a ray may have" when the
// reverberations of a huge code would exceed kMaxLegs, and on a model without
// layers or a descent beyond the last layer.
void green_function(GreenResult& out, RayState& state, std::span<const RayLayer> layers, std::int32_t code,
                    WaveMode mode, float source_depth_km, float distance_km);

// Counts the legs of state.legs per layer and mode, finds every leg's
// direction and the turns, and takes off the uncrossed fractions of the
// receiver layer (first) and the source layer (second). Source and receiver
// depths in km.
void build_ray_path(RayState& state, std::span<const RayLayer> layers, double source_depth_km,
                    double receiver_depth_km);

// Vertical slowness eta(v, p) for complex p: for real p < 1/v the positive
// root sqrt(1/v^2 - p^2); for real p > 1/v the root on the negative
// imaginary axis.
std::complex<double> vertical_slowness(double v, std::complex<double> p) noexcept;

// Cagniard travel time p r + sum over layers 0..deepest of count * h * eta.
std::complex<double> cagniard_time(const RayState& state, std::span<const RayLayer> layers, std::complex<double> p,
                                   double r);

// Its derivative r - p * sum of count * h / eta.
std::complex<double> cagniard_time_derivative(const RayState& state, std::span<const RayLayer> layers,
                                              std::complex<double> p, double r);

struct StationaryRay {
    double p_s_km = 0.0;  // ray parameter
    double t_s = 0.0;     // Re cagniard_time at p
};

// Bisection for Re dt/dp = 0 on [0, 1/vmax - 1e-9], vmax the fastest velocity
// the ray crosses: at most 40 midpoints (41 derivative evaluations), ending
// early once |dt/dp| <= 0.01 km. When dt/dp >= 0 already at the upper end the
// ray parameter is pinned there. Measured over 9280 rays (four crusts with an
// air layer, codes 1 to 4, sources 1 to 30 km deep, distances 0.5 to 300 km):
// 12 derivative evaluations in the median, 27 at the 99th percentile, 35 at
// most; p within 0.003 s/km of the root, t within 1.3e-5 s of the stationary
// time (t is flat there, so its error is second order in that of p).
StationaryRay stationary_ray_parameter(const RayState& state, std::span<const RayLayer> layers, double r);

struct Spreading {
    double length_km = 0.0;  // 0.001 when the legs add up to exactly 0
    float t_star_s = 0.0f;   // sum of leg length / (vs Qs), accumulated in f32
};

// Path length and t* of the ray at ray parameter p. The first leg is taken
// from the source depth to its end of layer legs[0] (tops summed from layer 1);
// every other leg whole. Every leg uses its layer's vs and Qs. sin i is
// clamped below 1 (0.999999 in f32), so a grazing leg is about 702 times its
// vertical extent. Stops when the path is empty or starts in layer 0.
Spreading geometric_spreading(const RayState& state, std::span<const RayLayer> layers, bool first_leg_down,
                              double source_depth_km, double p);

namespace detail {
// Source layer and depth of green_function: depths within 0.02 km of an
// interface are moved 0.02 km away from it; a depth at or below the top of
// the half-space (or NaN) goes 0.02 km above the bottom of the deepest layer
// of positive thickness.
struct SourcePosition {
    std::size_t layer = 0;
    double depth_km = 0.0;
};
SourcePosition source_position(std::span<const RayLayer> layers, double depth_km) noexcept;
}  // namespace detail

}  // namespace korvane::ray
