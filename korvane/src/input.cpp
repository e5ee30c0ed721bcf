#include "korvane/input.hpp"

#include <cmath>

#include "korvane/angles.hpp"

namespace korvane::input {

namespace {

// The air layer: a sheet 0.1 m thick with nominal velocities of 1 m/s (P) and
// 0.5 m/s (S) and about the density of air. Only a top layer thicker than 1 m
// (or a half-space with no layer above it) with a P velocity above 10 m/s gets
// one.
constexpr float kAirVpKmS = 0.001f;
constexpr float kAirVsKmS = 0.0005f;
constexpr float kAirDensityGCm3 = 0.001f;
constexpr float kAirThicknessKm = 0.0001f;
constexpr float kAirMinTopBottomKm = 0.001f;
constexpr double kAirMinTopVpKmS = 0.01;

}  // namespace

Segment::Segment(std::size_t n_along_, std::size_t n_down_, std::vector<Subfault> subfaults_, float longitude_deg_,
                 float latitude_deg_, float subfault_length_km_, float subfault_width_km_, float strike_deg_,
                 float dip_deg_, float rake_deg_, float top_depth_km_, float hypocentre_along_strike_km_,
                 float hypocentre_down_dip_km_)
    : subfaults(std::move(subfaults_)),
      n_along(n_along_),
      n_down(n_down_),
      longitude_deg(longitude_deg_),
      latitude_deg(latitude_deg_),
      subfault_length_km(subfault_length_km_),
      subfault_width_km(subfault_width_km_),
      strike_deg(strike_deg_),
      dip_deg(dip_deg_),
      rake_deg(rake_deg_),
      top_depth_km(top_depth_km_),
      hypocentre_along_strike_km(hypocentre_along_strike_km_),
      hypocentre_down_dip_km(hypocentre_down_dip_km_) {
    const std::size_t cells = checked_mul(n_along, n_down);
    if (subfaults.size() != cells) {
        const std::string len = std::to_string(subfaults.size());
        fail("assertion `left == right` failed: subfault grid holds " + len + " entries, expected " +
             std::to_string(n_along) + "x" + std::to_string(n_down) + "\n  left: " + len +
             "\n right: " + std::to_string(cells));
    }
    half_length = (static_cast<float>(n_along) * 0.5f) * subfault_length_km;
}

StochModel::StochModel(std::vector<Segment> segments_) : segments(std::move(segments_)) {
    std::size_t count = 0;
    float area = 0.0f;
    float deepest = 0.0f;
    for (const Segment& s : segments) {
        const std::size_t cells = checked_mul(s.n_along, s.n_down);
        count = checked_add(count, cells);
        area += ((static_cast<float>(s.n_along) * s.subfault_length_km) * static_cast<float>(s.n_down)) *
                s.subfault_width_km;
        const float d = std::sin(s.dip_deg * kDegToRad) * s.hypocentre_down_dip_km + s.top_depth_km;
        if (d > deepest) deepest = d;  // false for NaN: a NaN never replaces
    }
    subfault_count = count;
    total_area_km2 = area;
    deepest_hypocentre_km = deepest;
}

std::string ModelError::display() const {
    if (kind == Kind::NoLayers) return "velocity model has no layers";
    return "the first layer already reaches vs_moho = " + format_number(vs_moho) +
           " km/s, so there is no model above the Moho to simulate";
}

Result<std::vector<InputLayer>, ModelError> build_velocity_model(std::span<const InputLayer> layers, double vs_moho) {
    if (layers.empty()) return ModelError{ModelError::Kind::NoLayers, 0.0};
    if (layers[0].vsh_km_s >= vs_moho) return ModelError{ModelError::Kind::NothingAboveMoho, vs_moho};

    std::vector<InputLayer> out;
    out.reserve(layers.size());
    out.push_back(layers[0]);
    out[0].bottom_depth_km = layers[0].thickness_km;
    if (layers.size() == 1) {
        out[0].thickness_km = 0.0f;
        return out;
    }
    for (std::size_t i = 1; i < layers.size(); ++i) {
        InputLayer layer = layers[i];
        const float above_bottom = out.back().bottom_depth_km;
        if (layer.vsh_km_s >= vs_moho) {
            // The Moho: this layer becomes the half-space at the bottom of
            // the layer above; deeper layers are dropped.
            layer.bottom_depth_km = above_bottom;
            layer.thickness_km = 0.0f;
            out.push_back(layer);
            return out;
        }
        layer.bottom_depth_km = above_bottom + layer.thickness_km;
        out.push_back(layer);
    }
    out.back().thickness_km = 0.0f;  // deepest layer is the half-space
    return out;
}

std::vector<InputLayer> insert_air_layer(std::vector<InputLayer> layers) {
    check_index(layers.size(), 0);
    const InputLayer& top = layers[0];
    // A crust that is only the half-space counts as thick, whatever its
    // (unused) thickness.
    const bool thick = layers.size() == 1 || top.bottom_depth_km > kAirMinTopBottomKm;
    if (thick && top.vp_km_s > kAirMinTopVpKmS) {
        InputLayer air;
        air.vp_km_s = static_cast<double>(kAirVpKmS);
        air.vsh_km_s = static_cast<double>(kAirVsKmS);
        air.density_g_cm3 = static_cast<double>(kAirDensityGCm3);
        air.bottom_depth_km = kAirThicknessKm;
        air.thickness_km = kAirThicknessKm;
        air.quality_factor_p = top.quality_factor_p;
        air.quality_factor_s = top.quality_factor_s;
        layers.insert(layers.begin(), air);
    }
    return layers;
}

}  // namespace korvane::input
