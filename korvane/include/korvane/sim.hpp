// The simulator of one source. Simulator::create does once the work that does
// not depend on a station: moment weights and source strengths of every
// subfault, the air-layered velocity model, the path-duration table and each
// segment's mechanism. Simulator::run then synthesises one station's three
// components as a sum over segments, subfaults and ray paths, each ray a
// stochastic point-source signal (band-limited noise shaped by a target
// source-path-site spectrum, Boore 1983) windowed in time after Saragoni and
// Hart (1974) and weighted by its subfault's share of the moment.
//
// Units: km, km/s, g/cm^3, s, Hz; dyne-cm for moments, bars for stress drops,
// cm for slips, cm/s^2 for the records. Inputs give angles in degrees; inside
// the simulator they are f32 radians. A Simulator never changes once built,
// so any number of threads may run stations on it at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korvane/fault.hpp"
#include "korvane/input.hpp"
#include "korvane/rng.hpp"
#include "korvane/state.hpp"

namespace korvane::sim {

using state::RayLayer;

struct PathParameters {
    std::vector<std::int32_t> rayset;      // ray codes, in the given order
    std::uint8_t path_duration_model = 0;  // duration variant 0..4
};

struct SourceParameters {
    float rupture_velocity_fraction = 0.0f;  // of the source layer's S velocity
    float rupture_velocity_shallow = 0.0f;   // factor above shallow_ramp_top_km
    float rupture_velocity_deep = 0.0f;      // factor below deep_ramp_bottom_km
    float rupture_velocity_sigma = 0.0f;     // spread of the log-normal perturbation
    float corner_frequency_constant = 0.0f;  // C of the corner-frequency factor F = C (1 + FD FR alpha)
    float corner_frequency_alpha = 0.0f;     // weight of its dip and rake term
};

struct RecordParameters {
    float duration_s = 0.0f;
    float dt = 0.0f;
};

struct SiteParameters {
    float fmax_hz = 0.0f;
};

struct HfConfig {
    PathParameters path;
    SourceParameters source;
    RecordParameters record;
    SiteParameters site;
};

struct SourceStrength {
    float moment_dyne_cm = 0.0f;
    float shape_factor = 0.0f;
};

// A reported failure of the construction: segments diced differently, a
// subfault that cannot be placed, a ray the crust cannot carry, a slip model
// that would give records that are NaN or zero everywhere, or a segment whose
// corner-frequency factor or corner frequency is out of range.
struct SimError {
    enum class Kind {
        Dicing,     // a segment's subfault size differs from segment 0's
        Placement,  // a subfault centre off the globe
        Depth,      // a subfault centre deeper than the Earth's radius
        Ray,        // a ray code that reflects from a Moho the crust lacks
        Legs,       // a ray code whose path needs more than kMaxLegs legs
        TopLayer,   // a ray code from an active subfault in layer 0
        Slip,       // a slip cell whose moment weight is not finite
        Moment,     // a total moment beyond the float range, or not positive
        NoSlip,     // no subfault has a moment weight above 0.001: every record would be zero
        Strength,   // an active cell whose moment or shape factor is not positive and finite
        Corner,     // a corner-frequency factor that is not positive and finite
        Frequency,  // a corner frequency whose square overflows f32, or of 0 Hz
    };
    Kind kind = Kind::Dicing;
    std::string field;        // Dicing: "subfault_length_km" or "subfault_width_km"
    std::size_t segment = 0;  // the segment, where one is to blame
    float value = 0.0f;       // Dicing: that segment's size, km; Placement: the centre's
                              // latitude; Depth, TopLayer: the centre's depth, km; Slip,
                              // Strength: the cell's slip or stress drop; Moment: the total
                              // moment, dyne-cm; Corner: the factor; Frequency: the largest
                              // corner frequency, or the smallest when it is 0, Hz
    float reference = 0.0f;   // Dicing: segment 0's size, km; Placement: the centre's
                              // longitude; Slip: the cell's moment weight; Strength: its
                              // moment, dyne-cm; Corner: alpha; Frequency: the factor
    float extra = 0.0f;       // Strength: the shape factor
    std::size_t row = 0;      // Placement, Depth, TopLayer, Slip, Strength: row (down dip)
    std::size_t column = 0;   // ... and column (along strike) of the cell
    std::size_t legs = 0;     // Legs: the legs the path needs
    std::int32_t code = 0;    // Ray, Legs, TopLayer: the ray code

    static SimError dicing(std::string field, std::size_t segment, float value, float reference);
    static SimError placement(std::size_t segment, std::size_t row, std::size_t column, float latitude_deg,
                              float longitude_deg);
    static SimError depth(std::size_t segment, std::size_t row, std::size_t column, float depth_km);
    static SimError ray(std::int32_t code);
    static SimError legs_of(std::int32_t code, std::size_t legs);
    static SimError top_layer(std::int32_t code, std::size_t segment, std::size_t row, std::size_t column,
                              float depth_km);
    static SimError slip(std::size_t segment, std::size_t row, std::size_t column, float slip, float weight);
    static SimError moment(float m0);
    static SimError no_slip();
    static SimError strength(std::size_t segment, std::size_t row, std::size_t column, float stress_drop,
                             const SourceStrength& s);
    static SimError corner(std::size_t segment, float factor, float alpha);
    static SimError frequency(std::size_t segment, float fc_hz, float factor);
    std::string display() const;
};

// One piece of a path-duration table: duration y0 + (R - x0) * slope, s.
struct DurationSegment {
    float x0 = 0.0f;     // km
    float y0 = 0.0f;     // s
    float slope = 0.0f;  // s/km
};

namespace path_duration_table {
// Piece i < N-1 joins point i to i+1; the last piece continues with the
// slope of the one before it. Breakpoints are not checked.
std::vector<DurationSegment> from_breakpoints(std::span<const float> distances, std::span<const float> durations);
}  // namespace path_duration_table

// Duration table of variant 0..4 (Python codes 0, 1, 2, 11, 12).
std::vector<DurationSegment> duration_table_for(std::uint8_t variant);

using MomentWeight = float;

// Moment weight above which a subfault is active (counted when the weights are
// normalised) and below which a run skips it; a weight of exactly this value
// is not counted but still runs.
inline constexpr MomentWeight kActiveWeight = 0.001f;

// A segment's mechanism in radians (the rake as given, not folded into
// (-pi, pi]) and its corner-frequency factor F = C (1 + FD FR alpha), C the
// corner-frequency constant, FD and FR the dip and rake factors.
struct SegmentMechanism {
    float strike_rad = 0.0f;
    float dip_rad = 0.0f;
    float rake_rad = 0.0f;
    float corner_frequency_factor = 0.0f;  // F
};

// One station's input to a run; its 64-bit seed travels beside it.
struct Station {
    float longitude_deg = 0.0f;
    float latitude_deg = 0.0f;
    float kappa_s = 0.0f;               // s
    float q_frequency_exponent = 0.0f;  // exponent of the frequency-dependent Q
};

// A station's result: acceleration in cm/s^2, row-major (3, n_time), rows
// 090, 000, vertical.
struct StationRecord {
    std::vector<float> acceleration;
    std::size_t n_time = 0;
    std::span<const float> row(std::size_t c) const { return {acceleration.data() + c * n_time, n_time}; }
};

// Counts of a run, for benchmarks: rays synthesised per plan length.
struct RunStats {
    std::vector<std::pair<std::size_t, std::size_t>> rays_by_length;  // (n, count)
    void add_ray(std::size_t n);
};

// Three output rows of n_time samples each (090, 000, vertical), zeroed by
// the caller; a run adds into them.
struct RecordRows {
    std::span<float> rows[3];
};

class Simulator {
public:
    // Runs the station-independent work. Reports, in this order: a dicing
    // difference between segments; the first subfault (segment by segment,
    // row-major) whose centre falls off the globe or below the Earth's
    // radius; a ray code above 1 when the crust is one half-space (it has no
    // Moho to reflect from), or one whose path has more than kMaxLegs legs;
    // the first slip cell whose moment weight is not finite (a NaN or
    // infinite slip, or one whose moment overflows); a total moment beyond
    // the float range; a model without any active subfault; a total moment
    // that is not positive; the first active cell whose moment or shape
    // factor is not positive and finite; a ray code other than 1 from an
    // active subfault in layer 0; the first segment whose corner-frequency
    // factor is not positive and finite, or whose corner frequency squared
    // overflows, or whose slowest corner frequency is 0 Hz. Stops on
    // n_along = 0 and on an empty layer list.
    static Result<Simulator, SimError> create(const HfConfig& config, const input::StochModel& model,
                                              std::span<const input::InputLayer> layers);

    std::vector<input::Segment> segments;
    std::size_t subfault_count = 0;
    float total_area_km2 = 0.0f;
    float deepest_hypocentre_km = 0.0f;
    std::vector<std::vector<MomentWeight>> moment_weights;      // per segment, row-major
    std::vector<std::vector<SourceStrength>> source_strengths;  // per segment, row-major
    std::vector<RayLayer> ray_layers;                           // air-layered model, top down
    std::vector<DurationSegment> duration_table;
    std::vector<SegmentMechanism> segment_mechanisms;
    std::vector<std::int32_t> rayset;
    std::array<float, 20> ln_grid{};  // ln of the site-amplification frequencies
    std::size_t n_deviates = 1000;
    std::size_t n_grid = 20;
    std::size_t n_time = 0;
    float dt = 0.0f;
    float fmax_hz = 0.0f;
    float eps = 0.2f;
    float eta = 0.05f;
    float corner_frequency_constant = 0.0f;
    float corner_frequency_alpha = 0.0f;
    float rupture_velocity_sigma = 0.0f;
    float dx = 0.0f;      // mean subfault size, km
    float vs_max = 0.0f;  // largest S velocity of the ray layers, km/s
    float rupture_velocity_fraction = 0.0f;
    float rupture_velocity_shallow = 0.0f;
    float rupture_velocity_deep = 0.0f;
    float shallow_ramp_top_km = 5.0f;
    float shallow_ramp_bottom_km = 8.0f;
    float deep_ramp_top_km = 0.0f;
    float deep_ramp_bottom_km = 0.0f;

    // Synthesises one station's three components. Stops (korvane::Fault) on a
    // ray code the ray code cannot follow, a ray whose distance, travel time
    // or corner frequency is not finite and positive or whose window length
    // is NaN or not positive, a time step of 0 or a record of 2^31 samples or
    // more; throws AllocationFailure (a std::bad_alloc) when the record or a
    // segment's working set cannot be had, or is more than the process can
    // have, an infinite window included (the message names the cell and what
    // made its window long). The generator variant comes from the environment
    // (KORVANE_FIXTURE_RNG), read at the start of the run.
    StationRecord run(Station station, std::uint64_t seed) const;

    // The same run, added into caller-owned zeroed rows of n_time samples
    // each, so a batch can write straight into its output array.
    void run_into(const Station& station, std::uint64_t seed, const RecordRows& out, RunStats* stats = nullptr) const;
    // The same with the generator variant chosen by the caller: a batch reads
    // the environment once, while nothing can change it, and hands it to
    // every station, so that no run reads the environment.
    void run_into(const Station& station, std::uint64_t seed, rng::Variant variant, const RecordRows& out,
                  RunStats* stats = nullptr) const;

private:
    Simulator() = default;
};

// Index of the source layer of depth z: the first layer whose bottom depth is
// >= z, else the last one (always so for NaN). `layers` must not be empty.
template <class Layer>
std::size_t source_layer_index(std::span<const Layer> layers, float z) {
    for (std::size_t i = 0; i < layers.size(); ++i) {
        if (static_cast<float>(layers[i].bottom_depth_km) >= z) return i;
    }
    return layers.size() - 1;
}

// Rupture velocity (as a fraction of the source layer's S velocity) at depth
// z, km: the configured fraction, reduced by the shallow factor above 5 km,
// scaled by the deep factor below the deep ramp, linear across both ramps.
float rupture_velocity_profile(const Simulator& sim, float z);

// Path duration (s) at hypocentral distance r (km): the piece r falls in,
// extended along its slope; 0 below the first piece, and NaN for a NaN r
// (the zero piece's 0 + (r - 0) * 0), which the run then refuses to
// synthesise as a window length.
float path_duration(std::span<const DurationSegment> table, float r);

// Dip and rake factors of the corner-frequency factor F.
float dip_factor(float dip_deg);
float rake_factor(float rake_deg);

}  // namespace korvane::sim
