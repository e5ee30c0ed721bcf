// Input values of the core: fault segments diced into subfaults, the slip
// model with its totals, and the preparation of the 1-D velocity model
// (truncation at the Moho, a thin air layer on top).
//
// Units: km, km/s, g/cm^3, degrees, s, bars. Depths are positive downwards
// from the surface; segment and subfault values are f32, layer velocities and
// densities f64. Apart from grid sizes and counts, values are stored as
// given: the Python classes check them.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "korvane/fault.hpp"
#include "korvane/state.hpp"

namespace korvane::input {

using state::InputLayer;

// One cell of a segment grid.
struct Subfault {
    float slip = 0.0f;  // multiplies the cell's moment weight
    float rise_time_s = 0.0f;
    float rupture_time_s = 0.0f;    // rupture arrival, s after origin time
    float stress_drop_bars = 0.0f;  // multiplies the cell's source strength
};

// One planar fault segment. `subfaults` holds n_along x n_down cells in
// row-major order: cell (row r, column c) is entry r * n_along + c; row 0 is
// the top row, rows go down dip, columns along strike. Values other than the
// grid size are stored unchecked (NaN and infinities included).
struct Segment {
    std::vector<Subfault> subfaults;
    std::size_t n_along = 0;
    std::size_t n_down = 0;
    float longitude_deg = 0.0f;  // reference point (centre of the top edge)
    float latitude_deg = 0.0f;
    float subfault_length_km = 0.0f;
    float subfault_width_km = 0.0f;
    float strike_deg = 0.0f;
    float dip_deg = 0.0f;
    float rake_deg = 0.0f;
    float top_depth_km = 0.0f;
    float hypocentre_along_strike_km = 0.0f;
    float hypocentre_down_dip_km = 0.0f;
    float half_length = 0.0f;  // (n_along * 0.5) * subfault_length_km, km

    Segment() = default;
    // Stops when n_along * n_down overflows or differs from subfaults.size().
    Segment(std::size_t n_along, std::size_t n_down, std::vector<Subfault> subfaults, float longitude_deg,
            float latitude_deg, float subfault_length_km, float subfault_width_km, float strike_deg, float dip_deg,
            float rake_deg, float top_depth_km, float hypocentre_along_strike_km, float hypocentre_down_dip_km);
};

// The slip model: segments in the given order and their totals.
struct StochModel {
    std::vector<Segment> segments;
    std::size_t subfault_count = 0;
    float total_area_km2 = 0.0f;
    float deepest_hypocentre_km = 0.0f;  // never below 0

    StochModel() = default;
    // Takes over the segments (possibly none) and fills the totals; stops on
    // overflow of a cell count or of the running total.
    explicit StochModel(std::vector<Segment> segments);
};

// The error of build_velocity_model.
struct ModelError {
    enum class Kind { NoLayers, NothingAboveMoho };
    Kind kind = Kind::NoLayers;
    double vs_moho = 0.0;  // payload of NothingAboveMoho
    std::string display() const;
};

// Truncates the model at the first layer whose SH velocity reaches vs_moho
// (km/s); that layer becomes the half-space at the bottom of the layer above.
// Without such a layer the deepest given layer becomes the half-space. Bottom
// depths are accumulated in f32. The input is not changed.
Result<std::vector<InputLayer>, ModelError> build_velocity_model(std::span<const InputLayer> layers, double vs_moho);

// Puts a 0.0001 km air layer in front when the top layer is thicker than
// 0.001 km, or is the only layer (a crust of one half-space), and has
// vp > 0.01 km/s; other depths are not shifted. An empty
// list stops the call.
std::vector<InputLayer> insert_air_layer(std::vector<InputLayer> layers);

}  // namespace korvane::input
