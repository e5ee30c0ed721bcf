// The station run: walks every segment, subfault and ray of the simulator for
// one station and adds each ray's three components into the record.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "korvane/fault.hpp"
#include "korvane/fft.hpp"
#include "korvane/geom.hpp"
#include "korvane/ray.hpp"
#include "korvane/rng.hpp"
#include "korvane/sim.hpp"
#include "korvane/stoc.hpp"
#include "korvane/synth.hpp"

namespace korvane::sim {

float rupture_velocity_profile(const Simulator& sim, float z) {
    const float fraction = sim.rupture_velocity_fraction;
    const float shallow = sim.rupture_velocity_shallow;
    const float deep = sim.rupture_velocity_deep;
    const float d1 = sim.deep_ramp_top_km;
    const float d2 = sim.deep_ramp_bottom_km;
    const float s1 = sim.shallow_ramp_top_km;
    const float s2 = sim.shallow_ramp_bottom_km;
    if (z >= d2) return fraction * deep;
    if (z >= d1) return fraction * (((z - d1) * (deep - 1.0f)) / (d2 - d1) + 1.0f);
    if (z >= s2) return fraction;
    if (z >= s1) return fraction * (((z - s1) * (1.0f - shallow)) / (s2 - s1) + shallow);
    return fraction * shallow;  // shallower, or NaN
}

float path_duration(std::span<const DurationSegment> table, float r) {
    DurationSegment piece{0.0f, 0.0f, 0.0f};
    if (!table.empty() && r > table[0].x0) {
        std::size_t i = 0;
        while (i + 1 < table.size() && !(table[i + 1].x0 >= r)) ++i;
        piece = table[i];
    }
    return piece.y0 + (r - piece.x0) * piece.slope;
}

namespace {

constexpr float kPi = 3.1415927f;
constexpr float kHalfPi = 1.5707964f;

// x + y in 32-bit sample arithmetic, stopping on overflow. y may be any
// non-negative size (a plan length).
std::int32_t add_samples(std::int32_t x, std::size_t y) {
    const std::int64_t sum = static_cast<std::int64_t>(x) + static_cast<std::int64_t>(std::min<std::size_t>(y, std::size_t{1} << 40));
    if (sum > std::numeric_limits<std::int32_t>::max() || sum < std::numeric_limits<std::int32_t>::min()) {
        fail("attempt to add with overflow");
    }
    return static_cast<std::int32_t>(sum);
}

// Sample indices are 32-bit; longer records cannot be indexed correctly.
void check_record_length(std::size_t n_time) {
    if (n_time > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        fail("a record of " + std::to_string(n_time) +
             " samples is longer than the 2147483647 samples a run can index");
    }
}

}  // namespace

StationRecord Simulator::run(Station station, std::uint64_t seed) const {
    check_record_length(n_time);
    StationRecord record;
    record.n_time = n_time;
    const std::size_t count = checked_mul<std::size_t>(3, n_time);
    allocating([this] { return "a (3, " + std::to_string(n_time) + ") float32 record"; },
               saturating_mul(count, sizeof(float)), [&] { record.acceleration.assign(count, 0.0f); });
    RecordRows rows;
    for (std::size_t c = 0; c < 3; ++c) {
        rows.rows[c] = {record.acceleration.data() + c * n_time, n_time};
    }
    run_into(station, seed, rows);
    return record;
}

void RunStats::add_ray(std::size_t n) {
    for (auto& [length, count] : rays_by_length) {
        if (length == n) {
            ++count;
            return;
        }
    }
    rays_by_length.emplace_back(n, 1);
}

void Simulator::run_into(const Station& station, std::uint64_t seed, const RecordRows& out,
                         RunStats* stats) const {
    run_into(station, seed, rng::variant_from_environment(), out, stats);
}

void Simulator::run_into(const Station& station, std::uint64_t seed, rng::Variant variant,
                         const RecordRows& out, RunStats* stats) const {
    check_record_length(n_time);
    for (const auto& row : out.rows) {
        check_same_length(row.size(), n_time);
    }
    const auto n_time_i = static_cast<std::int32_t>(n_time);

    // The station stream supplies only the two lists of deviates of the
    // vertical radiation average; its variant is that of every stream below.
    rng::DrawSource station_stream = rng::DrawSource::for_station(seed, variant);
    std::vector<float> deviates_u(n_deviates);
    std::vector<float> deviates_w(n_deviates);
    for (float& u : deviates_u) u = station_stream.uniform();
    for (float& w : deviates_w) w = station_stream.uniform();

    stoc::PlanCache plans(dt, station.q_frequency_exponent, eps, eta);
    const bool has_code0 = std::find(rayset.begin(), rayset.end(), 0) != rayset.end();
    const std::span<const RayLayer> layers(ray_layers);
    const stoc::WindowParams window{dt, eps, eta, station.kappa_s};
    const RayContext ctx{layers, ln_grid, n_deviates, deviates_u, deviates_w, fmax_hz};

    geom::GeometryGrid grid;
    std::vector<float> window_lengths;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const input::Segment& seg = segments[s];
        const auto& mech = segment_mechanisms[s];
        const float corner_factor = mech[3];
        const std::vector<MomentWeight>& weights = moment_weights[s];
        const std::vector<SourceStrength>& strengths = source_strengths[s];

        // Segment key and the geometry of every subfault.
        const std::uint64_t seg_key = rng::segment_key(seed, s);
        geom::subfault_geometry(grid, geom::segment_geometry(seg), station.latitude_deg,
                                station.longitude_deg);

        // Window length of every subfault, whatever its weight.
        const std::size_t count = grid.records.size();
        window_lengths.assign(count, 0.0f);
        float max_tw = 0.0f;
        for (std::size_t idx = 0; idx < count; ++idx) {
            const geom::SubfaultGeometry& g = grid.records[idx];
            const RayLayer& layer = layers[source_layer_index(layers, g.depth_km)];
            const auto vs = static_cast<float>(layer.vsh_km_s);
            const float rv0 = rupture_velocity_profile(*this, g.depth_km);
            const float duration = path_duration(duration_table, g.hypocentral_distance_km);
            const float fc0 = ((rv0 * corner_factor) * vs) / (kPi * dx);
            const float tw =
                2.12f * (duration + (1.0f / fc0) * std::sqrt(strengths[idx].shape_factor));
            window_lengths[idx] = tw;
            if (tw > max_tw) max_tw = tw;
        }

        // The segment's largest window fixes its plan length (a window no
        // transform can hold stops here). A ray uses at most min(good_length(Z),
        // good_length(2 * samples left)) of it, and both are bounded: Z by the
        // largest window, the samples left by the record. So the buffers take
        // the smaller bound and plans are built only for the lengths rays use.
        // The records are the same; what changes is that a light subfault in the
        // air layer, whose window runs to tens of millions of samples but which
        // is never synthesised, no longer costs gigabytes and seconds.
        const std::size_t n_seg = fft::good_length(to_usize(std::trunc((max_tw + max_tw) / dt)));
        const std::size_t n_frame =
            std::min(n_seg, fft::good_length(2 * std::max<std::size_t>(n_time, 1)));
        SegmentFrame frame(n_frame, n_grid);
        state::RayState ray_state;

        // Subfaults: columns outer, rows inner.
        for (std::size_t c = 0; c < seg.n_along; ++c) {
            for (std::size_t r = 0; r < seg.n_down; ++r) {
                const std::size_t idx = r * seg.n_along + c;
                const std::uint64_t sub_key = rng::subfault_key(seg_key, idx);
                rng::DrawSource sub_stream = rng::DrawSource::for_key(variant, sub_key);
                const float w = weights[idx];
                if (w < 0.001f) continue;

                const geom::SubfaultGeometry& g = grid.records[idx];
                const float dist = g.hypocentral_distance_km;
                const float z = g.depth_km;
                const std::size_t layer_index = source_layer_index(layers, z);
                const auto vs = static_cast<float>(layers[layer_index].vsh_km_s);
                const auto rho = static_cast<float>(layers[layer_index].density_g_cm3);

                const float rv0 = rupture_velocity_profile(*this, z);
                float rv = rv0;
                if (rupture_velocity_sigma > 0.0f) {
                    const float perturbed = rv0 * std::exp(sub_stream.normal() * rupture_velocity_sigma);
                    rv = perturbed < 1.4f ? perturbed : 1.4f;  // NaN -> 1.4
                }

                const float tw = window_lengths[idx];
                const float lead = eps * tw;  // window start to its peak
                float bound = dist / vs_max - lead;
                if (has_code0) bound = std::fmin(bound, (dist * 0.7f) / 3.7f);
                const std::int32_t onset =
                    to_i32(std::trunc(seg.subfaults[idx].rupture_time_s / dt));
                const std::int32_t first = to_i32(std::trunc(bound / dt));
                if (checked_add(first, onset) > n_time_i) continue;  // late subfault

                const float fc = (((rv * corner_factor) * vs) / dx) / kPi;
                if (rayset.empty()) continue;

                const SourceStrength strength = strengths[idx];
                const std::size_t z_len = to_usize(std::trunc((tw + tw) / dt));
                const float t0_path = dist / (vs * 150.0f);
                const float t0 = (dist * 0.7f) / 3.7f;
                const RayGeometry base{mech[0], mech[1], mech[2], g.azimuth_rad, 0.0f, layer_index};

                for (std::size_t j = 0; j < rayset.size(); ++j) {
                    const std::int32_t code = rayset[j];
                    rng::DrawSource ray_stream =
                        rng::DrawSource::for_key(variant, rng::ray_key(sub_key, j));
                    float path_km = dist;
                    float path_t = t0_path;
                    float takeoff = g.takeoff_rad;
                    float x_t = t0;
                    if (code != 0) {
                        state::GreenResult green;
                        ray::green_function(green, ray_state, layers, code, state::WaveMode::Shear,
                                            z, g.epicentral_distance_km);
                        const float x = green.ray_parameter_s_km * vs;
                        takeoff = x > 1.0f ? kHalfPi : std::asin(x);
                        if (code > 0 && code % 2 == 1) takeoff = kPi - takeoff;
                        path_km = green.path_length_km;
                        path_t = green.t_star_s;
                        x_t = green.travel_time_s - lead;
                    }

                    // Placement: start is 1-based; sample q lands at start - 1 + q.
                    const std::int32_t start = checked_add(to_i32(std::trunc(x_t / dt)), onset);
                    if (start > n_time_i) continue;
                    const std::int32_t m = std::max(start, 1);
                    const std::int64_t remaining = static_cast<std::int64_t>(n_time_i) - m + 1;
                    const std::size_t n_ray =
                        std::min(fft::good_length(z_len),
                                 fft::good_length(2 * static_cast<std::size_t>(std::max<std::int64_t>(remaining, 1))));
                    const stoc::SpectrumPlan& plan = plans.for_length(n_ray);
                    const std::int32_t last =
                        std::min(checked_sub(add_samples(start, n_ray), 1), n_time_i);
                    if (last < m) continue;
                    const auto written = static_cast<std::size_t>(last - m + 1);
                    const auto src = static_cast<std::size_t>(checked_sub(m, start));
                    const auto dst = static_cast<std::size_t>(m - 1);

                    RayGeometry ray = base;
                    ray.takeoff = takeoff;
                    const stoc::SourceSpectrumParams source{path_km, tw, vs, rho, fc,
                                                            strength.moment_dyne_cm,
                                                            strength.shape_factor, fmax_hz, path_t};
                    synthesise_ray(plan, frame, ray_stream, ray, ctx, window, source);
                    if (stats != nullptr) stats->add_ray(n_ray);

                    for (std::size_t comp = 0; comp < 3; ++comp) {
                        const float* y = frame.time_row(comp, n_ray).data() + src;
                        float* x = out.rows[comp].data() + dst;
                        for (std::size_t q = 0; q < written; ++q) x[q] = x[q] + w * y[q];
                    }
                }
            }
        }
    }
}

}  // namespace korvane::sim
