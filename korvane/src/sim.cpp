#include "korvane/sim.hpp"

#include <cmath>
#include <limits>

namespace korvane::sim {

namespace {

constexpr float kDegToRad = 0.017453292f;  // pi / 180 rounded to f32

// Site-amplification frequencies, Hz.
constexpr std::array<float, 20> kSiteFrequencies = {0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f,
                                                    0.3f,  0.5f,  0.7f,  1.0f,  2.0f,  3.0f, 5.0f,
                                                    7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f};

// Checks that every segment has segment 0's subfault length and width
// (exact f32 equality: 0 == -0, NaN never equal).
bool check_dicing(const std::vector<input::Segment>& segments, SimError& error) {
    for (std::size_t i = 1; i < segments.size(); ++i) {
        const input::Segment& s = segments[i];
        const input::Segment& ref = segments[0];
        if (!(s.subfault_length_km == ref.subfault_length_km)) {
            error = SimError::dicing("subfault_length_km", i, s.subfault_length_km,
                                     ref.subfault_length_km);
            return false;
        }
        if (!(s.subfault_width_km == ref.subfault_width_km)) {
            error = SimError::dicing("subfault_width_km", i, s.subfault_width_km,
                                     ref.subfault_width_km);
            return false;
        }
    }
    return true;
}

}  // namespace

SimError SimError::dicing(std::string field, std::size_t segment, float value, float reference) {
    SimError e;
    e.field = std::move(field);
    e.segment = segment;
    e.value = value;
    e.reference = reference;
    return e;
}

SimError SimError::slip(std::size_t segment, std::size_t row, std::size_t column, float slip,
                        float weight) {
    SimError e;
    e.kind = Kind::Slip;
    e.field = "slip";
    e.segment = segment;
    e.value = slip;
    e.reference = weight;
    e.row = row;
    e.column = column;
    return e;
}

SimError SimError::moment(float m0) {
    SimError e;
    e.kind = Kind::Moment;
    e.value = m0;
    return e;
}

SimError SimError::no_slip() {
    SimError e;
    e.kind = Kind::NoSlip;
    return e;
}

std::string SimError::display() const {
    switch (kind) {
        case Kind::Slip: {
            std::string text = "segment " + std::to_string(segment) + " has slip = " +
                               format_number(value) + " at row " + std::to_string(row) +
                               ", column " + std::to_string(column);
            if (!std::isfinite(value)) return text + "; every slip must be finite";
            return text + ", which gives a moment weight of " + format_number(reference) +
                   " in its source layer; every moment weight (slip x rigidity x subfault "
                   "area) must be finite";
        }
        case Kind::Moment:
            return "the total moment of the slip model is " + format_number(value) +
                   " dyne-cm, beyond the float range; slips are in cm";
        case Kind::NoSlip:
            return "the slip model has no slip anywhere: no subfault's slip is large enough to "
                   "count, so every record would be zero";
        case Kind::Dicing:
            break;
    }
    return "segment " + std::to_string(segment) + " has " + field + " = " + format_number(value) +
           " km, but segment 0 has " + format_number(reference) +
           " km; every segment must be diced the same way because the subfault size is one "
           "quantity for the whole run";
}

namespace path_duration_table {
std::vector<DurationSegment> from_breakpoints(std::span<const float> distances,
                                              std::span<const float> durations) {
    const std::size_t n = distances.size();
    std::vector<DurationSegment> table(n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        table[i] = {distances[i], durations[i],
                    (durations[i + 1] - durations[i]) / (distances[i + 1] - distances[i])};
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
        default:
            fail("path duration variant " + std::to_string(variant) + " does not exist");
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
    // 1. Site grid.
    for (std::size_t i = 0; i < kSiteFrequencies.size(); ++i) {
        sim.ln_grid[i] = std::log(kSiteFrequencies[i]);
    }
    // 2.-3. Copies and the dicing check, before anything that can stop.
    sim.segments = model.segments;
    sim.subfault_count = model.subfault_count;
    sim.total_area_km2 = model.total_area_km2;
    sim.deepest_hypocentre_km = model.deepest_hypocentre_km;
    if (SimError error; !check_dicing(sim.segments, error)) return error;

    // 4. Duration table.
    sim.duration_table = duration_table_for(config.path.path_duration_model);

    // 5. Air layer on a copy of the truncated model.
    const std::vector<input::InputLayer> air_layered =
        input::insert_air_layer(std::vector<input::InputLayer>(layers.begin(), layers.end()));

    // 6. Depth ramps of the rupture-velocity profile.
    const float deepest = sim.deepest_hypocentre_km;
    sim.deep_ramp_top_km = deepest > 15.0f ? deepest : 15.0f;
    sim.deep_ramp_bottom_km = deepest > 15.0f ? deepest + 5.0f : 20.0f;

    // 7. Mean subfault size (segments without subfaults count).
    float size_sum = 0.0f;
    for (const input::Segment& s : sim.segments) {
        size_sum += std::sqrt(s.subfault_length_km * s.subfault_width_km);
    }
    sim.dx = size_sum / static_cast<float>(sim.segments.size());

    // 8. Moment weights: slip x (vs^2 rho L W) of the cell's source layer.
    const std::span<const input::InputLayer> layer_view(air_layered);
    float weight_sum = 0.0f;
    std::size_t segment_index = 0;
    sim.moment_weights.reserve(sim.segments.size());
    for (const input::Segment& s : sim.segments) {
        check_chunk_size(s.n_along);
        std::vector<MomentWeight> weights;
        weights.reserve(s.subfaults.size());
        const float row_step = std::sin(s.dip_deg * kDegToRad) * s.subfault_width_km;
        const std::size_t rows = s.subfaults.size() / s.n_along +
                                 (s.subfaults.size() % s.n_along != 0 ? 1 : 0);
        for (std::size_t r = 0; r < rows; ++r) {
            const float z = (static_cast<float>(r) + 0.5f) * row_step + s.top_depth_km;
            const input::InputLayer& layer = air_layered[source_layer_index(layer_view, z)];
            const double vs = layer.vsh_km_s;
            const float mu_a = static_cast<float>(((vs * vs) * layer.density_g_cm3) *
                                                  static_cast<double>(s.subfault_length_km) *
                                                  static_cast<double>(s.subfault_width_km));
            const std::size_t end = std::min(s.subfaults.size(), (r + 1) * s.n_along);
            for (std::size_t i = r * s.n_along; i < end; ++i) {
                const float w = s.subfaults[i].slip * mu_a;
                // One NaN or infinite weight would make the total moment, and
                // with it every subfault's shape factor, NaN or infinite.
                if (!std::isfinite(w)) {
                    return SimError::slip(segment_index, r, i - r * s.n_along, s.subfaults[i].slip, w);
                }
                weights.push_back(w);
                weight_sum += w;
            }
        }
        sim.moment_weights.push_back(std::move(weights));
        ++segment_index;
    }
    const float m0 = weight_sum * 1e20f;
    if (!std::isfinite(m0)) return SimError::moment(m0);

    // 9. Normalisation: the active weights (> 0.001) average 1.
    std::size_t n_active = 0;
    float active_sum = 0.0f;
    for (const auto& weights : sim.moment_weights) {
        for (const float w : weights) {
            if (w > 0.001f) {
                n_active = checked_add<std::size_t>(n_active, 1);
                active_sum += w;
            }
        }
    }
    // Without an active subfault the normalisation is 0/0: every weight and
    // shape factor would be NaN and every record zero.
    if (n_active == 0) return SimError::no_slip();
    const float n_active_f = static_cast<float>(n_active);
    const float norm = n_active_f / active_sum;
    for (auto& weights : sim.moment_weights) {
        for (float& w : weights) w *= norm;
    }

    // 10. Source strengths.
    const float dx = sim.dx;
    sim.source_strengths.reserve(sim.segments.size());
    for (const input::Segment& s : sim.segments) {
        check_chunk_size(s.n_along);
        std::vector<SourceStrength> strengths;
        strengths.reserve(s.subfaults.size());
        for (const input::Subfault& cell : s.subfaults) {
            const float moment = (((cell.stress_drop_bars * dx) * dx) * dx) * 1e21f;
            strengths.push_back({moment, m0 / (std::sqrt(n_active_f) * moment)});
        }
        sim.source_strengths.push_back(std::move(strengths));
    }

    // 11. Record length (f32 quotient, saturated).
    sim.n_time = to_usize(config.record.duration_s / config.record.dt);

    // 12. Ray layers and the fastest S velocity (NaN ignored).
    float vs_max = -3.4028235e38f;
    sim.ray_layers.reserve(air_layered.size());
    for (const input::InputLayer& l : air_layered) {
        sim.ray_layers.push_back({static_cast<double>(l.bottom_depth_km),
                                  static_cast<double>(l.thickness_km), l.vp_km_s, l.vsh_km_s,
                                  l.density_g_cm3, l.quality_factor_p, l.quality_factor_s});
        const float vs = static_cast<float>(l.vsh_km_s);
        if (vs > vs_max) vs_max = vs;
    }
    sim.vs_max = vs_max;

    // 13. Mechanisms and corner-frequency factors.
    const SourceParameters& src = config.source;
    sim.segment_mechanisms.reserve(sim.segments.size());
    for (const input::Segment& s : sim.segments) {
        const float fd = dip_factor(s.dip_deg);
        const float fr = rake_factor(s.rake_deg);
        const float f =
            src.corner_frequency_constant / (1.0f / (1.0f + (fd * fr) * src.corner_frequency_alpha));
        sim.segment_mechanisms.push_back(
            {s.strike_deg * kDegToRad, s.dip_deg * kDegToRad, s.rake_deg * kDegToRad, f});
    }

    // 14.-15. Ray set and the rest of the configuration.
    sim.rayset = config.path.rayset;
    sim.dt = config.record.dt;
    sim.fmax_hz = config.site.fmax_hz;
    sim.corner_frequency_constant = src.corner_frequency_constant;
    sim.corner_frequency_alpha = src.corner_frequency_alpha;
    sim.rupture_velocity_sigma = src.rupture_velocity_sigma;
    sim.rupture_velocity_fraction = src.rupture_velocity_fraction;
    sim.rupture_velocity_shallow = src.rupture_velocity_shallow;
    sim.rupture_velocity_deep = src.rupture_velocity_deep;
    return sim;
}

}  // namespace korvane::sim
