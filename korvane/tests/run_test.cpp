// The station run: one pinned end-to-end record, the exact lateness limit,
// the placement of a ray in the record, the stops, and eight threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cmath>
#include <thread>
#include <vector>

#include "kit.hpp"
#include "korvane/geom.hpp"
#include "korvane/sim.hpp"

using namespace korvane;
using namespace korvane::sim;
using korvane::testing::fault_message;
using korvane::testing::input_layers;
using korvane::testing::make_segment;
using korvane::testing::SegmentSpec;

namespace {

// A shallow segment (3 x 3, rows above, in and below the shallow ramp) and a
// deep one (1 x 3, rows in and below the deep ramp), slips and onsets varying.
struct Scenario {
    std::vector<std::int32_t> rayset{0, 1, 2, 3};
    std::uint8_t duration_model = 3;
    float fraction = 0.8f, sigma = 0.8f, constant = 2.0f, duration_s = 30.0f, dt = 0.02f, fmax_hz = 20.0f;
    std::vector<SegmentSpec> specs{
        {.n_along = 3, .n_down = 3, .stress_drop_bars = 40.0f, .top_depth_km = 4.0f,
         .hypo_along_km = 3.0f, .hypo_down_km = 2.0f},
        {.n_along = 1, .n_down = 3, .stress_drop_bars = 40.0f, .longitude_deg = 10.05f,
         .dip_deg = 90.0f, .top_depth_km = 17.0f, .hypo_down_km = 0.0f}};
    bool vary_cells = true, slow_crust = false;  // slow: no layer faster than 3 km/s

    Simulator build() const {
        std::vector<input::Segment> segs;
        for (const SegmentSpec& spec : specs) {
            segs.push_back(make_segment(spec));
            for (std::size_t i = 0; vary_cells && i < segs.back().subfaults.size(); ++i) {
                segs.back().subfaults[i].slip = 0.5f + 0.37f * static_cast<float>((i * 5) % 7);
                segs.back().subfaults[i].rupture_time_s = 0.3f * static_cast<float>(i);
            }
        }
        const auto in = slow_crust ? input_layers({{2.0, 4.0, 2.5, 2.4}, {0.0, 5.0, 3.0, 2.7}})
                                   : input_layers({{1.0, 3.0, 1.5, 2.1, 50.0f}, {5.0, 5.5, 3.2, 2.6, 200.0f},
                                                   {25.0, 6.3, 3.6, 2.8, 400.0f}, {0.0, 8.0, 4.6, 3.3}});
        const HfConfig cfg{.path = {.rayset = rayset, .path_duration_model = duration_model},
                           .source = {.rupture_velocity_fraction = fraction, .rupture_velocity_shallow = 0.6f,
                                      .rupture_velocity_deep = 1.3f, .rupture_velocity_sigma = sigma,
                                      .corner_frequency_constant = constant, .corner_frequency_alpha = 1.0f},
                           .record = {.duration_s = duration_s, .dt = dt},
                           .site = {.fmax_hz = fmax_hz}};
        return std::move(Simulator::create(cfg, input::StochModel(std::move(segs)),
                                           input::build_velocity_model(in, 4.5).value()))
            .value();
    }
};

StationRecord run(const Simulator& sim, const Station& st, std::uint64_t seed,
                  rng::Variant variant = rng::Variant::Pcg) {
    StationRecord r{std::vector<float>(3 * sim.n_time, 0.0f), sim.n_time};
    RecordRows rows;
    for (std::size_t c = 0; c < 3; ++c) rows.rows[c] = {r.acceleration.data() + c * r.n_time, r.n_time};
    sim.run_into(st, seed, variant, rows);
    return r;
}

double energy(const StationRecord& r, std::size_t c) {
    double e = 0.0;
    for (float x : r.row(c)) e += double{x} * double{x};
    return e;
}

}  // namespace

// A fixed scenario: codes 0-3, duration table 3, a rupture-velocity spread
// that takes two subfaults to the 1.4 clamp, fmax 20 Hz (the vertical capped
// at 15), a kappa station and an fmax-form station, both generators. Energies
// (sums of squares, (cm/s^2)^2) and samples at peaks of the envelope are
// pinned to 1e-6 relative, loose enough for another FFT library build.
// Station 2 sees one subfault 0.00005 km below an interface: the ray code puts
// it in the slower layer above, so the sine p vs of code 1 exceeds 1; its
// rupture velocity, 1.47 without a spread, is not clamped.
TEST(StationRun, ReferenceRecord) {
    const Simulator sim = Scenario{}.build();
    const Simulator edge =
        Scenario{.rayset = {1, 2}, .fraction = 2.0f, .sigma = 0.0f,
                 .specs = {{.n_along = 1, .n_down = 1, .dip_deg = 90.0f, .top_depth_km = 5.00005f}},
                 .vary_cells = false}
            .build();
    ASSERT_EQ(sim.n_time, 1500u);
    const Station stations[] = {
        {10.25f, 45.03f, 0.03f, 0.6f}, {9.8f, 45.25f, 0.0f, 0.4f}, {10.2f, 45.0f, 0.03f, 0.6f}};
    using enum rng::Variant;
    const struct {
        std::size_t station, comp;
        rng::Variant variant;
        double energy;
        std::size_t index[3];
        float value[3];
    } rows[] = {
        {0, 0, Pcg, 1451122.38, {344, 497, 1210}, {-204.746521f, -114.686089f, 26.9714222f}},
        {0, 1, Pcg, 1028677.38, {353, 490, 1213}, {190.266525f, 98.6897354f, 18.5237656f}},
        {0, 2, Pcg, 239913.539, {335, 496, 907}, {-78.8855515f, 70.47612f, -15.9765806f}},
        {1, 0, Pcg, 710618.199, {504, 698, 907}, {-98.2023087f, -81.9750671f, 60.6670265f}},
        {1, 1, Pcg, 789191.057, {511, 702, 898}, {102.320312f, -80.0367584f, -50.0792885f}},
        {1, 2, Pcg, 120800.315, {513, 702, 890}, {51.0659943f, 35.4097443f, -12.005538f}},
        {0, 0, Fixture, 1152254.10, {356, 484, 905}, {171.968903f, -139.812469f, 28.4368343f}},
        {2, 0, Pcg, 25377.1513, {255, 359, 495}, {-15.3775787f, 30.6238804f, -5.84899759f}},
        {2, 2, Pcg, 5495.26321, {256, 359, 507}, {10.7164764f, 8.99235725f, -3.3279388f}},
    };
    for (const auto& row : rows) {
        const StationRecord r = run(row.station < 2 ? sim : edge, stations[row.station], 2024, row.variant);
        EXPECT_NEAR(energy(r, row.comp), row.energy, 1e-6 * row.energy)
            << "station " << row.station << " component " << row.comp;
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(r.row(row.comp)[row.index[k]], row.value[k], 1e-6f * std::fabs(row.value[k]))
                << "station " << row.station << " component " << row.comp << " sample " << row.index[k];
        }
    }
}

// One subfault in a crust no faster than 3 km/s, with a corner frequency so
// high that the window is 2.12 x the path duration 0.063 R. A subfault is kept
// while trunc(bound / dt) + onset <= n_time, bound = R / vs_max - 0.2 Tw, or
// 0.7 R / 3.7 when that is smaller and the ray set holds a code 0. A negative
// code stops the run exactly when its subfault is kept.
Scenario one_subfault(std::vector<std::int32_t> codes, long onset = 0) {
    return {.rayset = std::move(codes), .duration_model = 0, .sigma = 0.0f, .constant = 1e6f,
            .specs = {{.n_along = 1, .n_down = 1,
                       .rupture_time_s = (static_cast<float>(onset) + (onset < 0 ? -0.5f : 0.5f)) * 0.02f,
                       .top_depth_km = 6.0f}},
            .vary_cells = false, .slow_crust = true};
}

double hypocentral_km(const Station& st) {
    const auto segment = geom::segment_geometry(make_segment(one_subfault({}).specs[0]));
    return geom::subfault_geometry(segment, st.latitude_deg, st.longitude_deg).records[0].hypocentral_distance_km;
}

TEST(StationRun, LatenessLimitIsTheFirstArrivalBound) {
    const struct {
        std::vector<std::int32_t> codes;
        float east_deg;
        bool straight;  // the code-0 bound 0.7 R / 3.7 applies
    } rows[] = {{{0, -1}, 10.25f, true}, {{-1, 0}, 10.4f, true}, {{-1}, 10.25f, false}, {{2, -1}, 10.4f, false}};
    for (const auto& row : rows) {
        const Station st{row.east_deg, 45.0f, 0.03f, 0.6f};
        const double r = hypocentral_km(st);
        const double samples = (row.straight ? 0.7 * r / 3.7 : r / 3.0 - 0.2 * 2.12 * 0.063 * r) / 0.02;
        ASSERT_GT(samples - std::floor(samples), 0.01) << "too near a sample for f32";
        const long limit = 1500 - static_cast<long>(samples);
        for (long onset : {limit, limit + 1}) {
            const Simulator sim = one_subfault(row.codes, onset).build();
            EXPECT_EQ(fault_message([&] { (void)run(sim, st, 1); }) != "<no fault>", onset == limit)
                << row.east_deg << (row.straight ? " straight" : " ray") << " onset " << onset;
        }
    }
}

// Code 0 alone: its series starts at sample trunc((0.7 R / 3.7) / dt) + onset
// (1-based) and, its length fixed by the window, only moves with the onset;
// samples before index 0 and after n_time - 1 are dropped.
TEST(StationRun, PlacementOfAStraightRay) {
    const Station st{10.25f, 45.0f, 0.03f, 0.6f};
    const auto start0 = static_cast<long>(0.7 * hypocentral_km(st) / 3.7 / 0.02);
    const auto record = [&](long start) { return run(one_subfault({0}, start - start0).build(), st, 3); };
    const StationRecord base = record(start0);
    const long n = static_cast<long>(base.n_time);
    const auto row0 = base.row(0);
    ASSERT_EQ(std::find_if(row0.begin(), row0.end(), [](float x) { return x != 0.0f; }) - row0.begin(),
              start0 - 1);
    const struct {
        long start, index, from;  // from: the index in the base record, -1 for a zero
    } rows[] = {{start0 + 100, start0 + 99, start0 - 1}, {start0 + 100, start0 + 98, -1},
                {start0 + 100, n - 1, n - 101}, {1, 0, start0 - 1}, {1, 5, start0 + 4}, {-9, 0, start0 + 9},
                {n, n - 2, -1}, {n + 1, n - 1, -1}};
    for (const auto& row : rows) {
        const StationRecord r = record(row.start);
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_EQ(r.row(c)[static_cast<std::size_t>(row.index)],
                      row.from < 0 ? 0.0f : base.row(c)[static_cast<std::size_t>(row.from)])
                << "start " << row.start << " index " << row.index << " component " << c;
        }
    }
    EXPECT_NE(record(n).row(0)[static_cast<std::size_t>(n - 1)], 0.0f);  // start n_time: one sample
}

// Every ray is synthesised over its whole window and then cut where the
// record ends, so a record is the first samples of any longer one: near the
// fault (rupture from t = 0, rays whose window starts before the record) and
// far from it (windows that run past the end). dt = 1/64 s makes
// duration_s / dt exact.
TEST(StationRun, ShortRecordIsThePrefixOfALongOne) {
    const auto record = [](long n, const Station& st) {
        Scenario s;
        s.duration_s = static_cast<float>(n) / 64.0f;
        s.dt = 1.0f / 64.0f;
        return run(s.build(), st, 11);
    };
    for (const Station& st : {Station{10.0f, 45.0f, 0.03f, 0.6f}, Station{10.6f, 45.2f, 0.03f, 0.6f}}) {
        const StationRecord full = record(6000, st);
        ASSERT_GT(energy(full, 0), 0.0);
        for (const long n : {1L, 3L, 7L, 9L, 150L, 1500L}) {
            const StationRecord r = record(n, st);
            for (std::size_t c = 0; c < 3; ++c) {
                const auto head = full.row(c).first(static_cast<std::size_t>(n));
                EXPECT_TRUE(std::equal(head.begin(), head.end(), r.row(c).begin(), r.row(c).end()))
                    << "station east " << st.longitude_deg << " n_time " << n << " component " << c;
            }
        }
    }
}

// A finite rupture time of any size gives a record: a subfault whose onset
// lies past the record is late, one whose rays end before it contributes
// nothing, exactly as for a rupture time of 1e4 s either way. Rupture times
// enter only the run (no construction step reads them), so the simulator's
// copy of the cells is set directly.
TEST(StationRun, RuptureTimesFarFromTheRecordAreSkipped) {
    const auto record = [](float t, const Station& st) {
        Scenario s{.dt = 0.01f, .vary_cells = false};
        Simulator sim = s.build();
        for (std::size_t i = 1; i < sim.segments[0].subfaults.size(); ++i)
            sim.segments[0].subfaults[i].rupture_time_s = t;
        for (auto& cell : sim.segments[1].subfaults) cell.rupture_time_s = t;
        return run(sim, st, 5);
    };
    for (const Station& st : {Station{10.01f, 45.0f, 0.03f, 0.6f}, Station{10.5f, 45.0f, 0.03f, 0.6f}}) {
        const StationRecord late = record(1e4f, st), early = record(-1e4f, st);
        ASSERT_GT(energy(late, 0), 0.0);
        for (const float t : {3e7f, -3e7f, 1e8f, -1e8f, 1e30f, -1e30f}) {
            StationRecord r;
            const std::string msg = fault_message([&] { r = record(t, st); });
            ASSERT_EQ(msg, "<no fault>") << "rupture time " << t << " east " << st.longitude_deg;
            EXPECT_EQ(r.acceleration, (t > 0.0f ? late : early).acceleration)
                << "rupture time " << t << " east " << st.longitude_deg;
        }
    }
}

// The stops, and the invariant that no ray is synthesised from a window
// length or corner frequency that is not finite and positive.
TEST(StationRun, Stops) {
    const float nan = std::nanf("");
    const struct { Scenario s; float latitude; const char* message; } rows[] = {
        {{.rayset = {1, -3}}, 45.0f, "ray type -3 is negative; th1 would be undefined"},
        {{.dt = 0.0f}, 45.0f, "is longer than the 2147483647 samples a run can index"},
        {{.duration_s = 0.0f, .dt = 0.0f}, 45.0f, "a transform length that overflows usize is not a real request"},
        {{}, nan, "segment 0, row 0, column 0: a window length of NaN s cannot be synthesised"}};
    for (const auto& row : rows) {
        const Simulator sim = row.s.build();
        const std::string msg = fault_message([&] { (void)sim.run({10.2f, row.latitude, 0.03f, 0.6f}, 1); });
        EXPECT_NE(msg.find(row.message), std::string::npos) << msg;
    }
    // Rupture velocities the constructor refuses, set afterwards: the run's
    // own guards. A perturbation to 0 gives a corner frequency of 0 Hz; a
    // subnormal fraction, an infinite window, which no memory holds.
    Scenario base;
    Simulator tampered = base.build();
    tampered.rupture_velocity_sigma = INFINITY;
    const std::string msg = fault_message([&] { (void)tampered.run({10.2f, 45.0f, 0.03f, 0.6f}, 1); });
    EXPECT_NE(msg.find(": a corner frequency of 0 Hz cannot be synthesised; a ray needs a finite, positive"),
              std::string::npos) << msg;
    tampered.rupture_velocity_sigma = 0.0f;
    tampered.rupture_velocity_fraction = 1e-40f;
    EXPECT_THROW((void)tampered.run({10.2f, 45.0f, 0.03f, 0.6f}, 1), AllocationFailure);
}

// Time steps far longer than the windows: the records fade as dt grows (a
// window's energy falls between the samples) down to 0, never to NaN.
TEST(StationRun, LongTimeStepsFadeWithoutNaN) {
    double last = INFINITY;
    for (const float dt : {1.0f, 20.0f, 200.0f}) {
        const StationRecord r =
            run(Scenario{.duration_s = 40.0f * dt, .dt = dt}.build(), {10.2f, 45.0f, 0.03f, 0.6f}, 1);
        const double e = energy(r, 0) + energy(r, 1) + energy(r, 2);
        EXPECT_LT(e, last) << "dt " << dt;
        EXPECT_EQ(e > 0.0, dt < 100.0f) << "dt " << dt << " energy " << e;
        last = e;
    }
}

// One Simulator, eight threads started together, three stations each: every
// record of run equals the one run_into computes alone. scripts/check-sanitize.sh runs it
// under ThreadSanitizer.
TEST(StationRunConcurrency, EightThreadsShareOneSimulator) {
    const Simulator sim = Scenario{.duration_s = 20.0f}.build();
    const auto station =
        [](std::size_t i) { return Station{10.05f + 0.03f * static_cast<float>(i), 45.0f, 0.03f, 0.6f}; };
    std::vector<StationRecord> got(24);
    std::barrier start(8);
    std::vector<std::thread> threads;
    for (std::size_t w = 0; w < 8; ++w) {
        threads.emplace_back([&, w] {
            start.arrive_and_wait();
            for (std::size_t i = w; i < 24; i += 8) got[i] = sim.run(station(i), rng::golden * i);
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < 24; ++i) {
        const StationRecord alone = run(sim, station(i), rng::golden * i, rng::variant_from_environment());
        ASSERT_GT(energy(alone, 0), 0.0);
        EXPECT_EQ(got[i].acceleration, alone.acceleration) << "station " << i;
    }
}
