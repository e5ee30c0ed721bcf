// The station run: walks every segment, subfault and ray of the simulator for
// one station and adds each ray's three components into the record.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "korvane/angles.hpp"
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

// Transform lengths up to this many samples keep their plans in the thread's
// table from one run to the next; longer ones are planned again per run.
constexpr std::size_t kLongestKeptPlan = std::size_t{1} << 18;

// A subfault's time window is this many times its ground-motion duration (the
// path duration plus the source duration), dimensionless.
constexpr float kWindowPerDuration = 2.12f;

// Largest perturbed rupture velocity, as a fraction of the source layer's S
// velocity like the depth profile it perturbs.
constexpr float kMaxRuptureVelocityFraction = 1.4f;

// The straight path of ray code 0: its quality factor (t* = R / (vs Q)), and
// its arrival, this fraction of the travel time at this velocity (km/s).
constexpr float kStraightPathQ = 150.0f;
constexpr float kStraightArrivalFraction = 0.7f;
constexpr float kStraightArrivalVelocityKmS = 3.7f;

// Arrival time (s) of the straight path over hypocentral distance r_km.
float straight_path_arrival_s(float r_km) { return (r_km * kStraightArrivalFraction) / kStraightArrivalVelocityKmS; }

// Sample positions (1-based record samples, onsets, arrivals) in 64-bit
// arithmetic: trunc(x) toward zero, NaN as 0, clamped to +-2^53 samples. Any
// finite rupture or travel time then gives a position, and sums of a few of
// them cannot overflow; a position clamped at 2^53 samples lies as far past
// (or before) every record and every window that can be allocated as the
// exact one would, so no skip decision changes. Positions inside a record
// (fewer than 2^31 samples) and a window's reach are exact.
constexpr std::int64_t kFarSamples = std::int64_t{1} << 53;

std::int64_t sample_position(float x) {
    const float t = std::trunc(x);
    if (std::isnan(t)) return 0;
    if (!(t < static_cast<float>(kFarSamples))) return kFarSamples;
    if (!(t > -static_cast<float>(kFarSamples))) return -kFarSamples;
    return static_cast<std::int64_t>(t);
}

// A plan length as a sample count, clamped like positions.
std::int64_t sample_count(std::size_t n) {
    return static_cast<std::int64_t>(std::min<std::size_t>(n, static_cast<std::size_t>(kFarSamples)));
}

// A record holds at most 2^31 - 1 samples, a bound chosen, not forced: the
// positions are 64-bit. It is 8 GiB a component and about 250 days at
// dt = 0.01 s, far beyond any record of shaking, and every record fits the
// signed 32-bit sample count of common seismogram formats (SAC's NPTS). A
// longer one stops here, with its length named.
void check_record_length(std::size_t n_time) {
    if (n_time > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        fail("a record of " + std::to_string(n_time) +
             " samples is longer than the 2147483647 samples a run can index");
    }
}

// With a time step of 0 no window has a sample count: every run stops as for
// a window no transform can hold, whether or not any window reaches the
// record (a record of 0 samples included).
void check_time_step(float dt) {
    if (dt == 0.0f) (void)fft::good_length(std::numeric_limits<std::size_t>::max());
}

// The station's two lists of uniform deviates for the vertical radiation
// average of every ray; the station stream draws nothing else.
struct Deviates {
    std::vector<float> u;  // drawn first
    std::vector<float> w;
};

Deviates draw_deviates(std::uint64_t seed, rng::Variant variant, std::size_t n) {
    rng::DrawSource stream = rng::DrawSource::for_station(seed, variant);
    Deviates d{std::vector<float>(n), std::vector<float>(n)};
    for (float& u : d.u) u = stream.uniform();
    for (float& w : d.w) w = stream.uniform();
    return d;
}

// What every segment, subfault and ray of one station run shares.
struct StationRun {
    const Simulator& sim;
    std::int64_t n_time = 0;         // the record length as the sample arithmetic counts it
    bool has_straight_path = false;  // a code 0 anywhere in the ray set
    stoc::PlanCache plans;           // one plan per length met, for the whole run
    stoc::WindowParams window;
    RayContext rays;
};

StationRun start_run(const Simulator& sim, const Station& station, const Deviates& deviates) {
    const std::vector<std::int32_t>& codes = sim.rayset;
    return {.sim = sim,
            .n_time = static_cast<std::int64_t>(sim.n_time),
            .has_straight_path = std::find(codes.begin(), codes.end(), 0) != codes.end(),
            .plans = stoc::PlanCache(sim.dt, station.q_frequency_exponent, sim.eps, sim.eta),
            .window = {.dt = sim.dt, .eps = sim.eps, .eta = sim.eta, .kappa_s = station.kappa_s},
            .rays = {.ray_layers = sim.ray_layers,
                     .ln_grid = sim.ln_grid,
                     .n_deviates = sim.n_deviates,
                     .deviates_u = deviates.u,
                     .deviates_w = deviates.w,
                     .fmax_hz = sim.fmax_hz}};
}

// The layer holding depth z, with its S velocity and density rounded to f32.
struct SourceLayer {
    std::size_t index = 0;
    float vs_km_s = 0.0f;
    float density_g_cm3 = 0.0f;
};

SourceLayer source_layer(std::span<const RayLayer> layers, float z) {
    const std::size_t index = source_layer_index(layers, z);
    return {.index = index,
            .vs_km_s = static_cast<float>(layers[index].vsh_km_s),
            .density_g_cm3 = static_cast<float>(layers[index].density_g_cm3)};
}

// The two durations (s) of a subfault's window: its path duration, and its
// source duration (1 / fc0) sqrt(shape factor), fc0 (Hz) the corner
// frequency of its unperturbed rupture velocity.
struct WindowTerms {
    float path_s;
    float source_s;
    float fc0_hz;
    // Window length Tw (s): kWindowPerDuration times the sum.
    float length_s() const { return kWindowPerDuration * (path_s + source_s); }
};

WindowTerms window_terms(const Simulator& sim, const geom::SubfaultGeometry& g, float corner_factor,
                         float shape_factor) {
    const float vs = source_layer(sim.ray_layers, g.depth_km).vs_km_s;
    const float rv0 = rupture_velocity_profile(sim, g.depth_km);
    const float duration = path_duration(sim.duration_table, g.hypocentral_distance_km);
    const float fc0 = ((rv0 * corner_factor) * vs) / (kPi * sim.dx);
    return {duration, (1.0f / fc0) * std::sqrt(shape_factor), fc0};
}

// Window lengths of every subfault of segment s, whatever its weight, into
// `out` (row-major).
void fill_window_lengths(const Simulator& sim, std::size_t s, const geom::GeometryGrid& grid, std::vector<float>& out) {
    const float corner_factor = sim.segment_mechanisms[s].corner_frequency_factor;
    const std::vector<SourceStrength>& strengths = sim.source_strengths[s];
    out.assign(grid.records.size(), 0.0f);
    for (std::size_t idx = 0; idx < out.size(); ++idx) {
        out[idx] = window_terms(sim, grid.records[idx], corner_factor, strengths[idx].shape_factor).length_s();
    }
}

// Rupture velocity of a subfault at depth z, as a fraction of the source
// layer's S velocity: the depth profile, perturbed log-normally by one normal
// draw of the subfault stream when sigma > 0 (a NaN perturbation gives the cap).
float rupture_velocity(const Simulator& sim, float z, rng::DrawSource& stream) {
    const float rv0 = rupture_velocity_profile(sim, z);
    if (!(sim.rupture_velocity_sigma > 0.0f)) return rv0;
    const float perturbed = rv0 * std::exp(stream.normal() * sim.rupture_velocity_sigma);
    return perturbed < kMaxRuptureVelocityFraction ? perturbed : kMaxRuptureVelocityFraction;
}

// A subfault that passed the weight and lateness tests, as its rays see it.
struct Subfault {
    const geom::SubfaultGeometry* geometry = nullptr;
    SourceLayer layer;
    float window_length_s = 0.0f;      // Tw
    float lead_s = 0.0f;               // from the window's start to its peak
    std::int64_t onset = 0;            // rupture onset, samples
    float corner_frequency_hz = 0.0f;  // from the perturbed rupture velocity
    SourceStrength strength;
};

// Onset (samples) of subfault idx of segment s, or nothing when even the
// earliest start of a ray's window comes after the record's end: the travel
// time over R at the fastest S velocity less the lead eps tw, or the straight
// path's arrival when the ray set has code 0 and that is earlier.
std::optional<std::int64_t> onset_in_time(const StationRun& run, std::size_t s, std::size_t idx,
                                          const geom::SubfaultGeometry& g, float tw) {
    const Simulator& sim = run.sim;
    const float r = g.hypocentral_distance_km;
    float bound = r / sim.vs_max - sim.eps * tw;
    if (run.has_straight_path) bound = std::fmin(bound, straight_path_arrival_s(r));
    const std::int64_t onset = sample_position(sim.segments[s].subfaults[idx].rupture_time_s / sim.dt);
    const std::int64_t first = sample_position(bound / sim.dt);
    if (first + onset > run.n_time) return std::nullopt;
    return onset;
}

// A ray is synthesised only from a finite, positive distance, travel time,
// corner frequency and window length; anything else would come out as NaN
// samples, so the run stops on it, naming the cell (and the ray code, when
// the value is the ray's own).
void check_ray_value(const Simulator& sim, std::size_t s, std::size_t idx, const std::int32_t* code, const char* what,
                     float value, const char* unit) {
    if (std::isfinite(value) && value > 0.0f) return;
    const std::size_t n_along = sim.segments[s].n_along;
    fail("segment " + std::to_string(s) + ", row " + std::to_string(idx / n_along) + ", column " +
         std::to_string(idx % n_along) + (code ? ", ray code " + std::to_string(*code) : std::string()) + ": a " +
         what + " of " + format_number(value) + " " + unit +
         " cannot be synthesised; a ray needs a finite, positive distance, travel time, corner frequency "
         "and window length");
}

// The longest window among the subfaults of segment s whose rays this
// station synthesises (weight at least kActiveWeight, and in time), and its
// subfault; none when no subfault is. A light or late subfault, whatever its
// window, costs nothing. Stops on a window length that is NaN or not
// positive; an infinite one is left to the frame's weighing, which no memory
// passes (MemoryError naming the cell and what made its window long).
struct LongestWindow {
    float tw_s = 0.0f;
    std::size_t idx = 0;
    bool any = false;
};

LongestWindow longest_window(const StationRun& run, std::size_t s, const geom::GeometryGrid& grid,
                             std::span<const float> window_lengths) {
    const Simulator& sim = run.sim;
    LongestWindow longest;
    for (std::size_t idx = 0; idx < window_lengths.size(); ++idx) {
        if (sim.moment_weights[s][idx] < kActiveWeight) continue;
        if (!onset_in_time(run, s, idx, grid.records[idx], window_lengths[idx])) continue;
        const float tw = window_lengths[idx];
        if (tw != std::numeric_limits<float>::infinity()) {
            check_ray_value(sim, s, idx, nullptr, "window length", tw, "s");
        }
        if (!longest.any || tw > longest.tw_s) longest = {tw, idx, true};
    }
    return longest;
}

// What a window length is made of: its two durations, the source one with
// the corner frequency and stress drop that set it.
std::string describe_window(const Simulator& sim, std::size_t s, std::size_t idx, const geom::SubfaultGeometry& g) {
    const WindowTerms t = window_terms(sim, g, sim.segment_mechanisms[s].corner_frequency_factor,
                                       sim.source_strengths[s][idx].shape_factor);
    return format_number(kWindowPerDuration) + " x (path duration " + format_number(t.path_s) + " s at " +
           format_number(g.hypocentral_distance_km) + " km + source duration " + format_number(t.source_s) +
           " s from corner frequency " + format_number(t.fc0_hz) + " Hz and stress drop " +
           format_number(sim.segments[s].subfaults[idx].stress_drop_bars) + " bar)";
}

// Bytes of the large working sets that the process's station runs hold at
// this moment, on every thread: their untouched pages do not show in the
// memory the machine has available yet, so each new one is weighed against
// what is left after them.
std::atomic<std::size_t> g_large_working_sets{0};

// A large working set's share of g_large_working_sets, given back with it.
struct LargeWorkingSet {
    std::size_t bytes = 0;
    LargeWorkingSet() = default;
    LargeWorkingSet(const LargeWorkingSet&) = delete;
    LargeWorkingSet& operator=(const LargeWorkingSet&) = delete;
    ~LargeWorkingSet() {
        if (bytes != 0) g_large_working_sets.fetch_sub(bytes, std::memory_order_relaxed);
    }
};

// The working set of segment s, frame and transforms, for the longest window
// it synthesises: reserved in one piece once it is known to fit, so that a
// window too long for this process is a MemoryError before a page of it is
// touched. The window's plan length n = good_length(trunc(2 Tw / dt)) is
// formed only for a count that some memory could hold.
SegmentFrame reserve_frame(const StationRun& run, std::size_t s, const geom::GeometryGrid& grid,
                           const LongestWindow& longest, LargeWorkingSet& claim) {
    const Simulator& sim = run.sim;
    const float samples = (longest.tw_s + longest.tw_s) / sim.dt;
    const bool countable = samples < static_cast<float>(std::size_t{1} << 48);
    const std::size_t n = countable ? fft::good_length(to_usize(std::trunc(samples))) : SIZE_MAX;
    // The frame, the run's spectrum plan of length n (3 (n/2 + 1) + n + n/10
    // floats) and the thread's transforms of length n.
    const std::size_t plan_bytes =
        saturating_mul(saturating_add(saturating_mul(n / 2 + 1, 3), saturating_add(n, n / 10)), sizeof(float));
    const std::size_t bytes = saturating_add(saturating_add(SegmentFrame::bytes_for(n, sim.n_grid), plan_bytes),
                                             countable ? fft::real_plan_bytes(n) : SIZE_MAX);
    const auto what = [&] {
        const std::size_t n_along = sim.segments[s].n_along;
        return "the working set of segment " + std::to_string(s) + ", row " + std::to_string(longest.idx / n_along) +
               ", column " + std::to_string(longest.idx % n_along) + ", a " +
               (countable ? std::to_string(n) : "more than 2^48") + "-sample transform";
    };
    const auto why = [&](const std::string& room) {
        return "its window of " + format_number(longest.tw_s) + " s, " + format_number(longest.tw_s / sim.dt) +
               " samples at dt " + format_number(sim.dt) + " s, is " +
               describe_window(sim, s, longest.idx, grid.records[longest.idx]) + room;
    };
    if (bytes >= kWeighedRequestBytes) {
        std::size_t held = g_large_working_sets.load(std::memory_order_relaxed);
        do {
            const MemoryRoom room = memory_room(held);
            if (bytes > room.bytes) {
                fail_allocation(what(), bytes,
                                why("; more than " + std::string(room.bound) + " leaves (" +
                                    std::to_string(room.bytes) + " bytes)"));
            }
        } while (!g_large_working_sets.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
        claim.bytes = bytes;
    }
    try {
        return SegmentFrame(n, sim.n_grid);
    } catch (const std::bad_alloc&) {
        fail_allocation(what(), bytes, why(""));
    }
}

// Set when a run meets a window longer than kLongestKeptPlan samples; at the
// end of the run the thread's transforms of such lengths are released, and
// the memory the allocator keeps from that run's frame-sized buffers (its
// own plans', and the transform library's) goes back to the system.
struct LongWindowRelease {
    bool met = false;
    LongWindowRelease() = default;
    LongWindowRelease(const LongWindowRelease&) = delete;
    LongWindowRelease& operator=(const LongWindowRelease&) = delete;
    ~LongWindowRelease() {
        if (!met) return;
        fft::release_plans_longer_than(kLongestKeptPlan);
#ifdef __GLIBC__
        malloc_trim(0);
#endif
    }
};

// The subfault's rupture-velocity draw comes first, so a late subfault draws
// it too; nothing when it is late.
std::optional<Subfault> subfault_in_time(const StationRun& run, std::size_t s, std::size_t idx,
                                         const geom::SubfaultGeometry& g, float tw, rng::DrawSource& stream) {
    const Simulator& sim = run.sim;
    Subfault sub{.geometry = &g,
                 .layer = source_layer(sim.ray_layers, g.depth_km),
                 .window_length_s = tw,
                 .lead_s = sim.eps * tw,
                 .strength = sim.source_strengths[s][idx]};
    const float rv = rupture_velocity(sim, g.depth_km, stream);
    const std::optional<std::int64_t> onset = onset_in_time(run, s, idx, g, tw);
    if (!onset) return std::nullopt;
    sub.onset = *onset;
    const float corner_factor = sim.segment_mechanisms[s].corner_frequency_factor;
    sub.corner_frequency_hz = (((rv * corner_factor) * sub.layer.vs_km_s) / sim.dx) / kPi;
    return sub;
}

// One ray's path from its subfault to the station.
struct RayArrival {
    float path_km = 0.0f;
    float t_star_s = 0.0f;
    float takeoff_rad = 0.0f;  // from the downward vertical
    float arrival_s = 0.0f;    // from the rupture onset to the start of the ray's window
    float travel_s = 0.0f;     // travel time (the straight path's arrival for code 0)
};

// The straight path's window starts at its arrival; a layered ray's window is
// placed so that its peak falls on the ray's travel time.
RayArrival ray_arrival(state::RayState& ray_state, std::span<const RayLayer> layers, std::int32_t code,
                       const Subfault& sub) {
    const geom::SubfaultGeometry& g = *sub.geometry;
    if (code == 0) {
        const float r = g.hypocentral_distance_km;
        return {.path_km = r,
                .t_star_s = r / (sub.layer.vs_km_s * kStraightPathQ),
                .takeoff_rad = g.takeoff_rad,
                .arrival_s = straight_path_arrival_s(r),
                .travel_s = straight_path_arrival_s(r)};
    }
    state::GreenResult green;
    ray::green_function(green, ray_state, layers, code, state::WaveMode::Shear, g.depth_km, g.epicentral_distance_km);
    const float x = green.ray_parameter_s_km * sub.layer.vs_km_s;
    float takeoff = x > 1.0f ? kHalfPi : std::asin(x);
    if (code > 0 && code % 2 == 1) takeoff = kPi - takeoff;  // odd codes leave upward
    return {.path_km = green.path_length_km,
            .t_star_s = green.t_star_s,
            .takeoff_rad = takeoff,
            .arrival_s = green.travel_time_s - sub.lead_s,
            .travel_s = green.travel_time_s};
}

// Where a ray lands in the record: its samples src .. src + written - 1 go
// to output indices dst .. dst + written - 1.
struct Placement {
    const stoc::SpectrumPlan* plan = nullptr;  // the ray's plan, of length n
    std::size_t n = 0;
    std::size_t src = 0;
    std::size_t dst = 0;
    std::size_t written = 0;
};

// Placement of a ray whose window starts arrival_s after its subfault's
// onset, or nothing when no sample of it falls inside the record. Sample
// positions are 1-based: sample q of the ray lands at start - 1 + q. The ray
// is synthesised over its whole window whatever the record's length, so a
// record is exactly the first samples of any longer one.
std::optional<Placement> place_ray(StationRun& run, const Subfault& sub, float arrival_s) {
    const std::int64_t start = sample_position(arrival_s / run.sim.dt) + sub.onset;
    if (start > run.n_time) return std::nullopt;
    const std::int64_t m = std::max<std::int64_t>(start, 1);  // first record sample the ray can reach
    const std::size_t z_len = to_usize(std::trunc((sub.window_length_s + sub.window_length_s) / run.sim.dt));
    const std::size_t n = fft::good_length(z_len);
    const std::int64_t last = std::min<std::int64_t>(start + sample_count(n) - 1, run.n_time);
    if (last < m) return std::nullopt;
    return Placement{.plan = &run.plans.for_length(n),
                     .n = n,
                     .src = static_cast<std::size_t>(m - start),
                     .dst = static_cast<std::size_t>(m - 1),
                     .written = static_cast<std::size_t>(last - m + 1)};
}

RayGeometry ray_geometry(const SegmentMechanism& mech, const Subfault& sub, const RayArrival& ray) {
    return {.strike = mech.strike_rad,
            .dip = mech.dip_rad,
            .rake = mech.rake_rad,
            .azimuth = sub.geometry->azimuth_rad,
            .takeoff = ray.takeoff_rad,
            .source_layer = sub.layer.index};
}

// The ray's source spectrum; its fmax_hz is set per component by the synthesis.
stoc::SourceSpectrumParams source_spectrum(const Subfault& sub, const RayArrival& ray, float fmax_hz) {
    return {.distance_km = ray.path_km,
            .window_length_s = sub.window_length_s,
            .beta_km_s = sub.layer.vs_km_s,
            .density_g_cm3 = sub.layer.density_g_cm3,
            .corner_frequency_hz = sub.corner_frequency_hz,
            .moment_dyne_cm = sub.strength.moment_dyne_cm,
            .shape_factor = sub.strength.shape_factor,
            .fmax_hz = fmax_hz,
            .path_t = ray.t_star_s};
}

// Adds the ray's three time rows, times its subfault's moment weight, into the
// record (x + w y in f32; no other scaling follows).
void add_weighted(const RecordRows& out, const SegmentFrame& frame, const Placement& place, float w) {
    for (std::size_t comp = 0; comp < 3; ++comp) {
        const float* y = frame.time_row(comp, place.n).data() + place.src;
        float* x = out.rows[comp].data() + place.dst;
        for (std::size_t q = 0; q < place.written; ++q) x[q] = x[q] + w * y[q];
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

void Simulator::run_into(const Station& station, std::uint64_t seed, const RecordRows& out, RunStats* stats) const {
    run_into(station, seed, rng::variant_from_environment(), out, stats);
}

void Simulator::run_into(const Station& station, std::uint64_t seed, rng::Variant variant, const RecordRows& out,
                         RunStats* stats) const {
    check_record_length(n_time);
    check_time_step(dt);
    for (const auto& row : out.rows) check_same_length(row.size(), n_time);
    // A one-off long window keeps nothing for the thread's life, however the
    // run ends: declared first, this goes last, after the run's spectrum plans.
    LongWindowRelease long_window;
    const Deviates deviates = draw_deviates(seed, variant, n_deviates);
    StationRun run = start_run(*this, station, deviates);
    geom::GeometryGrid grid;
    std::vector<float> window_lengths;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const input::Segment& seg = segments[s];
        const std::uint64_t seg_key = rng::segment_key(seed, s);
        geom::subfault_geometry(grid, geom::segment_geometry(seg), station.latitude_deg, station.longitude_deg);
        fill_window_lengths(*this, s, grid, window_lengths);
        const LongestWindow longest = longest_window(run, s, grid, window_lengths);
        if (!longest.any) continue;  // the subfault streams are independent: skipping draws shifts none
        LargeWorkingSet claim;
        SegmentFrame frame = reserve_frame(run, s, grid, longest, claim);
        long_window.met = long_window.met || frame.capacity() > kLongestKeptPlan;
        state::RayState ray_state;
        for (std::size_t c = 0; c < seg.n_along; ++c) {  // columns outer, rows inner
            for (std::size_t r = 0; r < seg.n_down; ++r) {
                const std::size_t idx = r * seg.n_along + c;
                const std::uint64_t sub_key = rng::subfault_key(seg_key, idx);
                rng::DrawSource sub_stream = rng::DrawSource::for_key(variant, sub_key);
                const MomentWeight w = moment_weights[s][idx];
                if (w < kActiveWeight) continue;
                const std::optional<Subfault> sub =
                    subfault_in_time(run, s, idx, grid.records[idx], window_lengths[idx], sub_stream);
                if (!sub) continue;
                for (std::size_t j = 0; j < rayset.size(); ++j) {
                    rng::DrawSource ray_stream = rng::DrawSource::for_key(variant, rng::ray_key(sub_key, j));
                    const RayArrival ray = ray_arrival(ray_state, ray_layers, rayset[j], *sub);
                    const std::optional<Placement> place = place_ray(run, *sub, ray.arrival_s);
                    if (!place) continue;
                    check_ray_value(*this, s, idx, &rayset[j], "distance", ray.path_km, "km");
                    check_ray_value(*this, s, idx, &rayset[j], "travel time", ray.travel_s, "s");
                    check_ray_value(*this, s, idx, &rayset[j], "corner frequency", sub->corner_frequency_hz, "Hz");
                    synthesise_ray(*place->plan, frame, ray_stream, ray_geometry(segment_mechanisms[s], *sub, ray),
                                   run.rays, run.window, source_spectrum(*sub, ray, fmax_hz));
                    if (stats != nullptr) stats->add_ray(place->n);
                    add_weighted(out, frame, *place, w);
                }
            }
        }
    }
}

}  // namespace korvane::sim
