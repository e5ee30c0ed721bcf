#include "korvane/sim.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "korvane/angles.hpp"
#include "korvane/geom.hpp"
#include "korvane/ray.hpp"

namespace korvane::sim {

namespace {

// The deep ramp of the rupture-velocity profile starts at the deepest
// hypocentre but no shallower than kDeepRampMinTopKm, and is kDeepRampWidthKm
// wide (km).
constexpr float kDeepRampMinTopKm = 15.0f;
constexpr float kDeepRampWidthKm = 5.0f;

// Unit conversions to dyne-cm. A moment weight is slip (cm) x vs^2 (km^2/s^2)
// x density (g/cm^3) x area (km^2): (1e5)^4 turns the km^4 into cm^4. A
// subfault moment is stress drop (bars, 1e6 dyne/cm^2) x dx^3 (km^3, 1e15 cm^3).
constexpr float kWeightToDyneCm = 1e20f;
constexpr float kStressVolumeToDyneCm = 1e21f;

// A crust of one layer is one uniform half-space. The ray code finds a
// source's layer by summing thicknesses, and a half-space has none, so the
// ray code is given that layer kUniformLayerKm thick (1 km below the deepest
// subfault centre where that is deeper) over the same half-space: no
// interface a ray can reach lies between them, so the direct ray is the
// straight path through one medium.
constexpr double kUniformLayerKm = 1000.0;
constexpr double kBelowDeepestKm = 1.0;

// Mean radius of the Earth, km: no subfault centre lies deeper.
constexpr float kEarthRadiusKm = 6371.0f;

// The run caps a perturbed rupture velocity at this fraction of the source
// layer's S velocity.
constexpr float kPerturbedRuptureCap = 1.4f;

// Site-amplification frequencies, Hz.
constexpr std::array<float, 20> kSiteFrequencies = {0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f,
                                                    0.3f,  0.5f,  0.7f,  1.0f,  2.0f,  3.0f, 5.0f,
                                                    7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f};

// The first segment whose subfault length or width differs from segment 0's
// (exact f32 equality: 0 == -0, NaN never equal), or nothing.
std::optional<SimError> check_dicing(const std::vector<input::Segment>& segments) {
    for (std::size_t i = 1; i < segments.size(); ++i) {
        const input::Segment& s = segments[i];
        const input::Segment& ref = segments[0];
        if (!(s.subfault_length_km == ref.subfault_length_km)) {
            return SimError::dicing("subfault_length_km", i, s.subfault_length_km, ref.subfault_length_km);
        }
        if (!(s.subfault_width_km == ref.subfault_width_km)) {
            return SimError::dicing("subfault_width_km", i, s.subfault_width_km, ref.subfault_width_km);
        }
    }
    return std::nullopt;
}

// Places every subfault centre, keeping each one's depth (km, as the run
// gives it to the rays) in `depths`, per segment, row-major; reports the
// first centre (segment by segment, row-major) that falls off the globe or
// below the Earth's radius, else returns the deepest centre's depth, km (0
// when none is deeper).
Result<float, SimError> place_subfaults(const std::vector<input::Segment>& segments,
                                        std::vector<std::vector<float>>& depths) {
    float deepest = 0.0f;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const geom::SegmentGeometry g = geom::segment_geometry(segments[s]);
        const std::vector<geom::SubfaultCentre> centres = geom::subfault_centres(g);
        std::vector<float>& out = depths.emplace_back();
        out.reserve(centres.size());
        for (std::size_t k = 0; k < centres.size(); ++k) {
            const geom::SubfaultCentre& c = centres[k];
            if (!geom::on_the_globe(c)) {
                return SimError::placement(s, k / g.n_along, k % g.n_along, c.latitude_deg, c.longitude_deg);
            }
            if (!(std::isfinite(c.depth_km) && c.depth_km <= kEarthRadiusKm)) {
                return SimError::depth(s, k / g.n_along, k % g.n_along, c.depth_km);
            }
            if (c.depth_km > deepest) deepest = c.depth_km;
            out.push_back(c.depth_km);
        }
    }
    return deepest;
}

// The first ray code the crust cannot carry. A crust that is one half-space
// (`n_input_layers` 1) has no Moho: every code above 1 reflects from it
// (2k + 2) or reverberates between it and the surface (2k + 1, k >= 1).
// Codes 0 (straight path) and 1 (direct ray) need no boundary; negative codes
// are left to the run, which stops on them. In any crust, a code whose path
// through `layers` needs more legs than a run builds (a code near 2^31 has a
// billion reverberations) would stop the run.
std::optional<SimError> check_rayset(std::span<const std::int32_t> rayset, std::size_t n_input_layers,
                                     std::span<const RayLayer> layers) {
    for (const std::int32_t code : rayset) {
        if (n_input_layers == 1 && code > 1) return SimError::ray(code);
        const std::size_t legs = ray::longest_path_legs(layers, code);
        if (legs > ray::kMaxLegs) return SimError::legs_of(code, legs);
    }
    return std::nullopt;
}

// The receivers sit on the bottom of layer 0. A ray from an active subfault
// whose centre lies in layer 0 (by either look-up the run makes: the stored
// bottoms for its source layer, the summed thicknesses for its path) would
// start above them: only code 1 (which stops on its empty path) and negative
// codes (which stop) are left to the run. The layer exists without an air
// layer above it when the top layer is slow (vp 0.01 km/s or less) or thin.
std::optional<SimError> check_top_layer_sources(std::span<const std::int32_t> rayset,
                                                const std::vector<input::Segment>& segments,
                                                const std::vector<std::vector<float>>& depths,
                                                const std::vector<std::vector<MomentWeight>>& weights,
                                                std::span<const RayLayer> layers) {
    const auto code = std::find_if(rayset.begin(), rayset.end(), [](std::int32_t c) { return c >= 0 && c != 1; });
    if (code == rayset.end()) return std::nullopt;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        for (std::size_t k = 0; k < depths[s].size(); ++k) {
            const float z = depths[s][k];
            if (weights[s][k] < kActiveWeight) continue;  // never synthesised
            if (source_layer_index(layers, z) == 0 ||
                ray::detail::source_position(layers, static_cast<double>(z)).layer == 0) {
                const std::size_t n_along = segments[s].n_along;
                return SimError::top_layer(*code, s, k / n_along, k % n_along, z);
            }
        }
    }
    return std::nullopt;
}

std::array<float, 20> ln_site_frequencies() {
    std::array<float, 20> ln_grid{};
    for (std::size_t i = 0; i < kSiteFrequencies.size(); ++i) ln_grid[i] = std::log(kSiteFrequencies[i]);
    return ln_grid;
}

// Mean of sqrt(L W) over the segments, those without subfaults included, km.
float mean_subfault_size(const std::vector<input::Segment>& segments) {
    float size_sum = 0.0f;
    for (const input::Segment& s : segments) {
        size_sum += std::sqrt(s.subfault_length_km * s.subfault_width_km);
    }
    return size_sum / static_cast<float>(segments.size());
}

// Rigidity times subfault area, (vs^2 rho) L W, of the source layer of row r
// of a segment: f64 arithmetic rounded to f32.
float rigidity_area(const input::Segment& s, std::size_t r, std::span<const input::InputLayer> layers) {
    const float row_step = std::sin(s.dip_deg * kDegToRad) * s.subfault_width_km;
    const float z = (static_cast<float>(r) + 0.5f) * row_step + s.top_depth_km;
    const input::InputLayer& layer = layers[source_layer_index(layers, z)];
    const double vs = layer.vsh_km_s;
    return static_cast<float>(((vs * vs) * layer.density_g_cm3) * static_cast<double>(s.subfault_length_km) *
                              static_cast<double>(s.subfault_width_km));
}

// Appends the moment weights (slip x rigidity x area) of segment `index` to
// `weights`, row by row, adding each to `sum` in that order. Reports the first
// weight that is not finite: it would make the total moment, and with it every
// subfault's shape factor, NaN or infinite.
std::optional<SimError> segment_moment_weights(const input::Segment& s, std::size_t index,
                                               std::span<const input::InputLayer> layers,
                                               std::vector<MomentWeight>& weights, float& sum) {
    check_chunk_size(s.n_along);
    weights.reserve(s.subfaults.size());
    // Rows of n_along cells; a last row may be short.
    const std::size_t rows = s.subfaults.size() / s.n_along + (s.subfaults.size() % s.n_along != 0 ? 1 : 0);
    for (std::size_t r = 0; r < rows; ++r) {
        const float mu_a = rigidity_area(s, r, layers);
        const std::size_t end = std::min(s.subfaults.size(), (r + 1) * s.n_along);
        for (std::size_t i = r * s.n_along; i < end; ++i) {
            const float w = s.subfaults[i].slip * mu_a;
            if (!std::isfinite(w)) return SimError::slip(index, r, i - r * s.n_along, s.subfaults[i].slip, w);
            weights.push_back(w);
            sum += w;
        }
    }
    return std::nullopt;
}

// Moment weights of every segment into `out`; returns the total moment M0,
// dyne-cm, or the first bad cell, or a total beyond the float range.
Result<float, SimError> moment_weights_of(const std::vector<input::Segment>& segments,
                                          std::span<const input::InputLayer> layers,
                                          std::vector<std::vector<MomentWeight>>& out) {
    float weight_sum = 0.0f;
    out.reserve(segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        std::vector<MomentWeight>& weights = out.emplace_back();
        if (auto error = segment_moment_weights(segments[i], i, layers, weights, weight_sum)) return *error;
    }
    const float m0 = weight_sum * kWeightToDyneCm;
    if (!std::isfinite(m0)) return SimError::moment(m0);
    return m0;
}

// Scales every weight so that the active ones average 1; returns their
// number. With none active the weights are left alone (the factor is 0/0).
std::size_t normalise_weights(std::vector<std::vector<MomentWeight>>& all) {
    std::size_t n_active = 0;
    float active_sum = 0.0f;
    for (const auto& weights : all) {
        for (const float w : weights) {
            if (w > kActiveWeight) {
                n_active = checked_add<std::size_t>(n_active, 1);
                active_sum += w;
            }
        }
    }
    if (n_active == 0) return 0;
    const float norm = static_cast<float>(n_active) / active_sum;
    for (auto& weights : all) {
        for (float& w : weights) w *= norm;
    }
    return n_active;
}

// Each subfault's moment, from its stress drop over a cube of the mean
// subfault size dx, and its shape factor M0 / (sqrt(n_active) moment).
std::vector<std::vector<SourceStrength>> source_strengths_of(const std::vector<input::Segment>& segments, float dx,
                                                             float m0, std::size_t n_active) {
    const float n_active_f = static_cast<float>(n_active);
    std::vector<std::vector<SourceStrength>> all;
    all.reserve(segments.size());
    for (const input::Segment& s : segments) {
        std::vector<SourceStrength>& strengths = all.emplace_back();
        strengths.reserve(s.subfaults.size());
        for (const input::Subfault& cell : s.subfaults) {
            const float moment = (((cell.stress_drop_bars * dx) * dx) * dx) * kStressVolumeToDyneCm;
            strengths.push_back({.moment_dyne_cm = moment, .shape_factor = m0 / (std::sqrt(n_active_f) * moment)});
        }
    }
    return all;
}

// The first active cell (weight not below kActiveWeight: the run synthesises
// it) whose moment or shape factor is not positive and finite: a stress drop
// so large that the moment overflows, or so small that the shape factor
// does, makes its source spectrum NaN.
std::optional<SimError> check_strengths(const std::vector<input::Segment>& segments,
                                        const std::vector<std::vector<MomentWeight>>& weights,
                                        const std::vector<std::vector<SourceStrength>>& strengths) {
    for (std::size_t s = 0; s < segments.size(); ++s) {
        for (std::size_t k = 0; k < strengths[s].size(); ++k) {
            const SourceStrength& st = strengths[s][k];
            if (weights[s][k] < kActiveWeight) continue;
            const bool sound = st.moment_dyne_cm > 0.0f && std::isfinite(st.moment_dyne_cm) && st.shape_factor > 0.0f &&
                               std::isfinite(st.shape_factor);
            if (!sound) {
                const std::size_t n_along = segments[s].n_along;
                return SimError::strength(s, k / n_along, k % n_along, segments[s].subfaults[k].stress_drop_bars, st);
            }
        }
    }
    return std::nullopt;
}

// The layers as the ray, spectrum and site code see them. A crust of one layer
// (`uniform`) gets its half-space split at the depth `split_km` (see
// kUniformLayerKm).
std::vector<RayLayer> ray_layers_of(const std::vector<input::InputLayer>& layers, bool uniform, double split_km) {
    std::vector<RayLayer> out;
    out.reserve(layers.size() + 1);
    for (const input::InputLayer& l : layers) {
        out.push_back({.bottom_depth_km = static_cast<double>(l.bottom_depth_km),
                       .thickness_km = static_cast<double>(l.thickness_km),
                       .vp_km_s = l.vp_km_s,
                       .vsh_km_s = l.vsh_km_s,
                       .density_g_cm3 = l.density_g_cm3,
                       .quality_factor_p = l.quality_factor_p,
                       .quality_factor_s = l.quality_factor_s});
    }
    if (uniform) {
        RayLayer& half_space = out.back();
        half_space.bottom_depth_km = split_km;
        RayLayer above = half_space;
        above.thickness_km = split_km;
        out.insert(out.end() - 1, above);
    }
    return out;
}

// The largest S velocity of the layers rounded to f32, NaN ignored (the
// lowest float when none has one).
float fastest_shear_velocity(std::span<const RayLayer> layers) {
    float vs_max = std::numeric_limits<float>::lowest();
    for (const RayLayer& l : layers) {
        const float vs = static_cast<float>(l.vsh_km_s);
        if (vs > vs_max) vs_max = vs;
    }
    return vs_max;
}

// Each segment's mechanism; reports the first segment whose corner-frequency
// factor is not positive and finite (a negative alpha can make 1 + FD FR alpha
// 0 or negative): its corner frequency would be 0 or negative, its window
// infinite or NaN.
Result<std::vector<SegmentMechanism>, SimError> mechanisms_of(const std::vector<input::Segment>& segments,
                                                              const SourceParameters& src) {
    std::vector<SegmentMechanism> out;
    out.reserve(segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const input::Segment& s = segments[i];
        const float fd = dip_factor(s.dip_deg);
        const float fr = rake_factor(s.rake_deg);
        // Dividing by the reciprocal rounds twice, so it gives other f32 values
        // than multiplying by 1 + FD FR alpha; the records are made this way.
        const float f = src.corner_frequency_constant / (1.0f / (1.0f + (fd * fr) * src.corner_frequency_alpha));
        if (!(f > 0.0f && std::isfinite(f))) return SimError::corner(i, f, src.corner_frequency_alpha);
        out.push_back({.strike_rad = s.strike_deg * kDegToRad,
                       .dip_rad = s.dip_deg * kDegToRad,
                       .rake_rad = s.rake_deg * kDegToRad,
                       .corner_frequency_factor = f});
    }
    return out;
}

// The largest magnitude a normal draw can take: the ziggurat's tail start
// plus the largest tail offset its 2^-53 uniforms allow, sqrt(2 ln 2^53).
constexpr float kLargestNormal = 12.23f;

// The first segment whose corner frequency, (((rv F) vs) / dx) / pi, can
// leave the range a source spectrum takes: at the fastest rupture velocity rv
// and S velocity vs a run can give it, a square beyond the float range (NaN
// spectra); at the slowest (the smallest profile value, scaled down by the
// largest perturbation, in the slowest layer), 0 Hz, where no spectrum has a
// shape.
std::optional<SimError> check_corner_frequencies(const Simulator& sim) {
    const float sigma = sim.rupture_velocity_sigma;
    const float fraction = sim.rupture_velocity_fraction;
    const float profile_max = fraction * std::max({sim.rupture_velocity_shallow, 1.0f, sim.rupture_velocity_deep});
    const float profile_min = fraction * std::min({sim.rupture_velocity_shallow, 1.0f, sim.rupture_velocity_deep});
    const float rv_max = sigma > 0.0f ? kPerturbedRuptureCap : profile_max;
    const float rv_min = sigma > 0.0f ? profile_min * std::exp(-kLargestNormal * sigma) : profile_min;
    float vs_min = std::numeric_limits<float>::infinity();
    for (const RayLayer& layer : sim.ray_layers) vs_min = std::min(vs_min, static_cast<float>(layer.vsh_km_s));
    for (std::size_t i = 0; i < sim.segment_mechanisms.size(); ++i) {
        const float f = sim.segment_mechanisms[i].corner_frequency_factor;
        const float fc = (((rv_max * f) * sim.vs_max) / sim.dx) / kPi;
        if (!std::isfinite(fc * fc)) return SimError::frequency(i, fc, f);
        const float fc_min = (((rv_min * f) * vs_min) / sim.dx) / kPi;
        if (!(fc_min > 0.0f)) return SimError::frequency(i, fc_min, f);
    }
    return std::nullopt;
}

// An error about one value, or a cell of a segment, of kind `kind`.
SimError error_of(SimError::Kind kind, std::size_t segment, float value, float reference = 0.0f, std::size_t row = 0,
                  std::size_t column = 0) {
    SimError e;
    e.kind = kind;
    e.segment = segment;
    e.value = value;
    e.reference = reference;
    e.row = row;
    e.column = column;
    return e;
}

}  // namespace

SimError SimError::dicing(std::string field, std::size_t segment, float value, float reference) {
    SimError e = error_of(Kind::Dicing, segment, value, reference);
    e.field = std::move(field);
    return e;
}

SimError SimError::placement(std::size_t segment, std::size_t row, std::size_t column, float latitude_deg,
                             float longitude_deg) {
    return error_of(Kind::Placement, segment, latitude_deg, longitude_deg, row, column);
}

SimError SimError::depth(std::size_t segment, std::size_t row, std::size_t column, float depth_km) {
    return error_of(Kind::Depth, segment, depth_km, 0.0f, row, column);
}

SimError SimError::legs_of(std::int32_t code, std::size_t legs) {
    SimError e = error_of(Kind::Legs, 0, 0.0f);
    e.code = code;
    e.legs = legs;
    return e;
}

SimError SimError::top_layer(std::int32_t code, std::size_t segment, std::size_t row, std::size_t column,
                             float depth_km) {
    SimError e = error_of(Kind::TopLayer, segment, depth_km, 0.0f, row, column);
    e.code = code;
    return e;
}

SimError SimError::strength(std::size_t segment, std::size_t row, std::size_t column, float stress_drop,
                            const SourceStrength& s) {
    SimError e = error_of(Kind::Strength, segment, stress_drop, s.moment_dyne_cm, row, column);
    e.extra = s.shape_factor;
    return e;
}

SimError SimError::frequency(std::size_t segment, float fc_hz, float factor) {
    return error_of(Kind::Frequency, segment, fc_hz, factor);
}

SimError SimError::ray(std::int32_t code) {
    SimError e = error_of(Kind::Ray, 0, 0.0f);
    e.code = code;
    return e;
}

SimError SimError::slip(std::size_t segment, std::size_t row, std::size_t column, float slip, float weight) {
    SimError e = error_of(Kind::Slip, segment, slip, weight, row, column);
    e.field = "slip";
    return e;
}

SimError SimError::moment(float m0) { return error_of(Kind::Moment, 0, m0); }

SimError SimError::no_slip() { return error_of(Kind::NoSlip, 0, 0.0f); }

SimError SimError::corner(std::size_t segment, float factor, float alpha) {
    return error_of(Kind::Corner, segment, factor, alpha);
}

std::string SimError::display() const {
    const std::string cell = "segment " + std::to_string(segment) + " puts the centre of the subfault at row " +
                             std::to_string(row) + ", column " + std::to_string(column);
    switch (kind) {
        case Kind::Depth:
            return cell + " at a depth of " + format_number(value) +
                   " km, below the Earth's radius of 6371 km; top_depth_km and subfault sizes are in km";
        case Kind::Legs:
            return "ray code " + std::to_string(code) + " of rayset needs up to " + std::to_string(legs) +
                   " legs in this velocity model, more than the " + std::to_string(ray::kMaxLegs) +
                   " a ray may have: each pair of the code above 2 adds a reverberation between the "
                   "surface and the Moho";
        case Kind::TopLayer:
            return "ray code " + std::to_string(code) + " cannot start at the subfault at row " + std::to_string(row) +
                   ", column " + std::to_string(column) + " of segment " + std::to_string(segment) + ": its centre, " +
                   format_number(value) +
                   " km deep, lies in layer 0, above the receivers on that layer's bottom (a "
                   "velocity model whose top layer has vp_km_s 0.01 or less, or is 0.001 km thick or "
                   "less, gets no air layer)";
        case Kind::Strength:
            return "segment " + std::to_string(segment) + " has stress_drop_bars = " + format_number(value) +
                   " at row " + std::to_string(row) + ", column " + std::to_string(column) +
                   ", which gives a subfault moment of " + format_number(reference) +
                   " dyne-cm and a shape factor of " + format_number(extra) +
                   "; both must be positive and finite (stress drops are in bars)";
        case Kind::Frequency:
            if (!(value > 0.0f)) {
                return "segment " + std::to_string(segment) + " can reach a corner frequency of " +
                       format_number(value) + " Hz with a corner-frequency factor of " + format_number(reference) +
                       ": rupture_velocity_sigma or the rupture_velocity factors scale the rupture velocity "
                       "below the float range";
            }
            return "segment " + std::to_string(segment) + " reaches a corner frequency of " + format_number(value) +
                   " Hz with a corner-frequency factor of " + format_number(reference) +
                   "; its square is beyond the float range: corner_frequency_constant, "
                   "corner_frequency_alpha or the rupture_velocity factors are far too large";
        case Kind::Placement:
            return cell + " at latitude " + format_number(value) + ", longitude " + format_number(reference) +
                   ", off the globe; subfault sizes are in km";
        case Kind::Ray:
            return "ray code " + std::to_string(code) +
                   " reflects from the Moho, but the velocity model has none: its only layer is the "
                   "half-space, which carries ray codes 0 and 1 only";
        case Kind::Corner:
            return "segment " + std::to_string(segment) + " has a corner-frequency factor of " + format_number(value) +
                   " with corner_frequency_alpha = " + format_number(reference) +
                   "; the factor corner_frequency_constant x (1 + dip factor x rake factor x "
                   "corner_frequency_alpha) must be positive and finite";
        case Kind::Slip: {
            std::string text = "segment " + std::to_string(segment) + " has slip = " + format_number(value) +
                               " at row " + std::to_string(row) + ", column " + std::to_string(column);
            if (!std::isfinite(value)) return text + "; every slip must be finite";
            return text + ", which gives a moment weight of " + format_number(reference) +
                   " in its source layer; every moment weight (slip x rigidity x subfault "
                   "area) must be finite";
        }
        case Kind::Moment:
            if (std::isfinite(value)) {
                return "the total moment of the slip model is " + format_number(value) +
                       " dyne-cm; it must be positive: the negative slips outweigh the positive ones";
            }
            return "the total moment of the slip model is " + format_number(value) +
                   " dyne-cm, beyond the float range; slips are in cm";
        case Kind::NoSlip:
            return "no subfault radiates: every moment weight (slip x rigidity x subfault area) is "
                   "0.001 or less, so every record would be zero; a subfault needs slip (in cm) and "
                   "a centre below the surface (one within 0.0001 km of the datum or above it lies "
                   "in the air layer, whose rigidity is almost nil)";
        case Kind::Dicing: break;
    }
    return "segment " + std::to_string(segment) + " has " + field + " = " + format_number(value) +
           " km, but segment 0 has " + format_number(reference) +
           " km; every segment must be diced the same way because the subfault size is one "
           "quantity for the whole run";
}

namespace path_duration_table {
std::vector<DurationSegment> from_breakpoints(std::span<const float> distances, std::span<const float> durations) {
    const std::size_t n = distances.size();
    std::vector<DurationSegment> table(n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        table[i] = {distances[i], durations[i], (durations[i + 1] - durations[i]) / (distances[i + 1] - distances[i])};
    }
    if (n >= 2) table[n - 1] = {distances[n - 1], durations[n - 1], table[n - 2].slope};
    return table;
}
}  // namespace path_duration_table

std::vector<DurationSegment> duration_table_for(std::uint8_t variant) {
    switch (variant) {
        case 0: return {{0.0f, 0.0f, 0.063f}};
        case 1: return {{0.0f, 0.0f, 0.07f}};
        case 2: return {{0.0f, 0.0f, 0.1f}};
        case 3: {
            static constexpr float d[] = {0.0f, 7.0f, 45.0f, 125.0f, 175.0f, 270.0f};
            static constexpr float y[] = {0.0f, 2.4f, 8.4f, 10.9f, 17.4f, 34.2f};
            return path_duration_table::from_breakpoints(d, y);
        }
        case 4: {
            static constexpr float d[] = {0.0f, 15.0f, 35.0f, 50.0f, 125.0f, 200.0f, 392.0f, 600.0f};
            static constexpr float y[] = {0.0f, 2.6f, 17.5f, 25.1f, 25.1f, 28.5f, 46.0f, 69.1f};
            return path_duration_table::from_breakpoints(d, y);
        }
        default: fail("path duration variant " + std::to_string(variant) + " does not exist");
    }
}

float dip_factor(float dip) {
    if (dip >= 0.0f && dip < 45.0f) return 1.0f;
    if (dip >= 45.0f && dip <= 90.0f) return (dip - 45.0f) / (-45.0f) + 1.0f;
    return 0.0f;  // negative, above 90, NaN
}

float rake_factor(float rake) {
    float r = std::fmod(rake, 360.0f);  // keeps the rake's sign
    if (r < 0.0f) r += 360.0f;
    if (r > 180.0f) r -= 360.0f;
    if (r >= 0.0f && r <= 180.0f) return std::fabs(r - 90.0f) / (-90.0f) + 1.0f;
    return 0.0f;  // r < 0, NaN (also from an infinite rake)
}

Result<Simulator, SimError> Simulator::create(const HfConfig& config, const input::StochModel& model,
                                              std::span<const input::InputLayer> layers) {
    Simulator sim;
    sim.ln_grid = ln_site_frequencies();
    sim.segments = model.segments;
    sim.subfault_count = model.subfault_count;
    sim.total_area_km2 = model.total_area_km2;
    sim.deepest_hypocentre_km = model.deepest_hypocentre_km;
    // The dicing check comes before anything that can stop the call.
    if (auto error = check_dicing(sim.segments)) return *error;
    std::vector<std::vector<float>> depths;  // of the subfault centres, km
    const Result<float, SimError> deepest_centre = place_subfaults(sim.segments, depths);
    if (!deepest_centre) return deepest_centre.error();
    const std::vector<input::InputLayer> air_layered =
        input::insert_air_layer(std::vector<input::InputLayer>(layers.begin(), layers.end()));
    const double split_km = std::max(kUniformLayerKm, static_cast<double>(deepest_centre.value()) + kBelowDeepestKm);
    sim.ray_layers = ray_layers_of(air_layered, layers.size() == 1, split_km);
    if (auto error = check_rayset(config.path.rayset, layers.size(), sim.ray_layers)) return *error;

    sim.duration_table = duration_table_for(config.path.path_duration_model);
    const float deepest = sim.deepest_hypocentre_km;
    sim.deep_ramp_top_km = deepest > kDeepRampMinTopKm ? deepest : kDeepRampMinTopKm;
    sim.deep_ramp_bottom_km = sim.deep_ramp_top_km + kDeepRampWidthKm;
    sim.dx = mean_subfault_size(sim.segments);

    const Result<float, SimError> m0 = moment_weights_of(sim.segments, air_layered, sim.moment_weights);
    if (!m0) return m0.error();
    const std::size_t n_active = normalise_weights(sim.moment_weights);
    // Without an active subfault every weight and shape factor would be NaN
    // and every record zero.
    if (n_active == 0) return SimError::no_slip();
    // A total that is not positive gives every shape factor a negative sign
    // or a zero, and the records NaN.
    if (!(m0.value() > 0.0f)) return SimError::moment(m0.value());
    sim.source_strengths = source_strengths_of(sim.segments, sim.dx, m0.value(), n_active);
    if (auto error = check_strengths(sim.segments, sim.moment_weights, sim.source_strengths)) return *error;

    sim.n_time = to_usize(config.record.duration_s / config.record.dt);  // the f32 quotient
    sim.vs_max = fastest_shear_velocity(sim.ray_layers);
    if (auto error =
            check_top_layer_sources(config.path.rayset, sim.segments, depths, sim.moment_weights, sim.ray_layers)) {
        return *error;
    }
    const SourceParameters& src = config.source;
    Result<std::vector<SegmentMechanism>, SimError> mechanisms = mechanisms_of(sim.segments, src);
    if (!mechanisms) return mechanisms.error();
    sim.segment_mechanisms = std::move(mechanisms).value();
    sim.rayset = config.path.rayset;
    sim.dt = config.record.dt;
    sim.fmax_hz = config.site.fmax_hz;
    sim.corner_frequency_constant = src.corner_frequency_constant;
    sim.corner_frequency_alpha = src.corner_frequency_alpha;
    sim.rupture_velocity_sigma = src.rupture_velocity_sigma;
    sim.rupture_velocity_fraction = src.rupture_velocity_fraction;
    sim.rupture_velocity_shallow = src.rupture_velocity_shallow;
    sim.rupture_velocity_deep = src.rupture_velocity_deep;
    if (auto error = check_corner_frequencies(sim)) return *error;
    return sim;
}

}  // namespace korvane::sim
