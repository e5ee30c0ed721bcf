#include "korvane/sim.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace korvane;
using namespace korvane::sim;
using input::InputLayer;
using input::Segment;
using input::StochModel;
using input::Subfault;

namespace {

constexpr float kDeg = 0.017453292f;

Segment segment(std::size_t n_along, std::size_t n_down, float length, float width,
                float slip = 1.0f, float dip = 90.0f, float top = 1.0f, float rake = 90.0f,
                float hypo_dd = 0.0f) {
    std::vector<Subfault> cells(n_along * n_down, Subfault{slip, 1.0f, 0.0f, 50.0f});
    return Segment(n_along, n_down, std::move(cells), 0.0f, 0.0f, length, width, 10.0f, dip, rake,
                   top, 0.0f, hypo_dd);
}

std::vector<InputLayer> crust() {
    std::vector<InputLayer> in(3);
    in[0] = {4.5, 2.6, 2.4, 0.0f, 2.0f, 300.0f, 150.0f};
    in[1] = {6.0, 3.5, 2.8, 0.0f, 18.0f, 600.0f, 300.0f};
    in[2] = {8.0, 4.6, 3.3, 0.0f, 0.0f, 1000.0f, 500.0f};
    return input::build_velocity_model(in, 4.5).value();
}

HfConfig config(float duration = 10.0f, float dt = 0.01f, std::uint8_t variant = 0) {
    HfConfig c;
    c.path = {{1, 2}, variant};
    c.source = {0.8f, 0.6f, 1.0f, 0.1f, 2.0f, 1.0f};
    c.record = {duration, dt};
    c.site = {15.0f};
    return c;
}

Simulator build(std::vector<Segment> segs, const HfConfig& c = config()) {
    auto r = Simulator::create(c, StochModel(std::move(segs)), crust());
    EXPECT_TRUE(r.ok());
    return std::move(r).value();
}

std::string dicing_error(std::vector<Segment> segs) {
    auto r = Simulator::create(config(), StochModel(std::move(segs)), crust());
    return r.ok() ? "<ok>" : r.error().display();
}

}  // namespace

TEST(Simulator, DicingCheck) {
    std::vector<Segment> a = {segment(2, 2, 2.0f, 2.0f), segment(2, 2, 2.5f, 2.0f)};
    EXPECT_EQ(dicing_error(std::move(a)),
              "segment 1 has subfault_length_km = 2.5 km, but segment 0 has 2 km; every segment "
              "must be diced the same way because the subfault size is one quantity for the whole "
              "run");
    std::vector<Segment> b = {segment(2, 2, 2.0f, 2.0f), segment(2, 2, 2.0f, 1.5f)};
    EXPECT_EQ(dicing_error(std::move(b)).substr(0, 43), "segment 1 has subfault_width_km = 1.5 km, b");
    std::vector<Segment> c = {segment(2, 2, 2.0f, 2.0f), segment(1, 1, 2.0f, 2.0f),
                              segment(2, 2, 3.0f, 2.0f)};
    EXPECT_EQ(dicing_error(std::move(c)).substr(0, 10), "segment 2 ");
    std::vector<Segment> d = {segment(2, 2, -0.0f, 2.0f, 1.0f), segment(2, 2, 0.0f, 2.0f, 1.0f)};
    EXPECT_EQ(dicing_error(std::move(d)).substr(0, 22), "the slip model has no ");  // passes dicing
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Segment> e = {segment(2, 2, nan, 2.0f), segment(2, 2, nan, 2.0f)};
    EXPECT_EQ(dicing_error(std::move(e)).substr(0, 54),
              "segment 1 has subfault_length_km = NaN km, but segment");
    // The dicing difference is reported before the n_along = 0 stop.
    std::vector<Segment> f = {segment(0, 3, 2.0f, 2.0f), segment(2, 2, 2.5f, 2.0f)};
    EXPECT_EQ(dicing_error(std::move(f)).substr(0, 10), "segment 1 ");
}

TEST(Simulator, DurationTables) {
    for (std::uint8_t v = 0; v < 3; ++v) {
        const auto t = duration_table_for(v);
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0].x0, 0.0f);
        EXPECT_EQ(t[0].y0, 0.0f);
    }
    EXPECT_EQ(duration_table_for(1)[0].slope, 0.07f);
    const auto t3 = duration_table_for(3);
    ASSERT_EQ(t3.size(), 6u);
    EXPECT_EQ(t3[5].x0, 270.0f);
    EXPECT_EQ(t3[5].y0, 34.2f);
    EXPECT_EQ(t3[5].slope, (34.2f - 17.4f) / (270.0f - 175.0f));
    EXPECT_EQ(t3[4].slope, t3[5].slope);
    EXPECT_EQ(t3[1].slope, (8.4f - 2.4f) / (45.0f - 7.0f));
    const auto t4 = duration_table_for(4);
    ASSERT_EQ(t4.size(), 8u);
    EXPECT_EQ(t4[7].slope, (69.1f - 46.0f) / (600.0f - 392.0f));
    EXPECT_EQ(t4[3].slope, 0.0f);  // 25.1 -> 25.1
    EXPECT_EQ(build({segment(1, 1, 2, 2)}, config(10, 0.01f, 4)).duration_table.size(), 8u);
}

TEST(Simulator, RampsAndRecordLength) {
    // deepest = sin(90 deg) * hypo_dd + top
    auto ramps = [](float deepest) {
        const Simulator s = build({segment(1, 1, 2, 2, 1, 90.0f, 0.0f, 90.0f, deepest)});
        return std::pair{s.deep_ramp_top_km, s.deep_ramp_bottom_km};
    };
    EXPECT_EQ(ramps(12.0f), std::pair(15.0f, 20.0f));
    EXPECT_EQ(ramps(18.0f), std::pair(18.0f, 23.0f));
    EXPECT_EQ(ramps(15.0f), std::pair(15.0f, 20.0f));

    auto n_time = [](float duration, float dt) {
        return build({segment(1, 1, 2, 2)}, config(duration, dt)).n_time;
    };
    EXPECT_EQ(n_time(10.0f, 0.01f), 1000u);
    EXPECT_EQ(n_time(-10.0f, 0.01f), 0u);
    EXPECT_EQ(n_time(0.0f, 0.0f), 0u);
    EXPECT_EQ(n_time(10.0f, 0.0f), std::numeric_limits<std::size_t>::max());
}

TEST(Simulator, MechanismFactors) {
    EXPECT_EQ(dip_factor(30.0f), 1.0f);
    EXPECT_EQ(dip_factor(45.0f), 1.0f);
    EXPECT_EQ(dip_factor(90.0f), 0.0f);
    EXPECT_EQ(dip_factor(100.0f), 0.0f);
    EXPECT_EQ(dip_factor(-1.0f), 0.0f);
    EXPECT_EQ(dip_factor(std::nanf("")), 0.0f);
    EXPECT_EQ(dip_factor(67.5f), 0.5f);
    for (float r : {-90.0f, 0.0f, 180.0f, -180.0f, 540.0f, std::nanf(""), INFINITY}) {
        EXPECT_EQ(rake_factor(r), 0.0f) << r;
    }
    EXPECT_EQ(rake_factor(90.0f), 1.0f);
    EXPECT_EQ(rake_factor(450.0f), 1.0f);
    EXPECT_EQ(rake_factor(45.0f), 0.5f);

    // F = C / (1 / (1 + (FD * FR) * alpha)); rake kept unfolded.
    const Simulator s = build({segment(1, 1, 2, 2, 1.0f, 30.0f, 1.0f, 450.0f)});
    ASSERT_EQ(s.segment_mechanisms.size(), 1u);
    EXPECT_EQ(s.segment_mechanisms[0][0], 10.0f * kDeg);
    EXPECT_EQ(s.segment_mechanisms[0][1], 30.0f * kDeg);
    EXPECT_EQ(s.segment_mechanisms[0][2], 450.0f * kDeg);
    EXPECT_EQ(s.segment_mechanisms[0][3], 2.0f / (1.0f / (1.0f + 1.0f * 1.0f)));
}

TEST(Simulator, WeightsAndStrengths) {
    // Two rows at depths 1.5 and 2.5 km (dip 90, width 1, top 1): layers 1 and 2 of the air-layered
    // model (bottoms 0.0001, 2, 20).
    std::vector<Subfault> cells = {{1, 1, 0, 50}, {3, 1, 0, 50}, {2, 1, 0, 100}, {0, 1, 0, 100}};
    Segment s(2, 2, std::move(cells), 0, 0, 1.0f, 1.0f, 0, 90.0f, 0, 1.0f, 0, 0);
    const Simulator sim = build({s});
    ASSERT_EQ(sim.ray_layers.size(), 4u);  // air + 3
    EXPECT_EQ(sim.vs_max, 4.6f);
    EXPECT_EQ(sim.ray_layers[1].bottom_depth_km, 2.0);
    EXPECT_EQ(sim.dx, 1.0f);
    const float mu1 = static_cast<float>((2.6 * 2.6) * 2.4 * 1.0 * 1.0);
    const float mu2 = static_cast<float>((3.5 * 3.5) * 2.8 * 1.0 * 1.0);
    const float raw[4] = {1 * mu1, 3 * mu1, 2 * mu2, 0 * mu2};
    const float norm = 3.0f / ((raw[0] + raw[1]) + raw[2]);
    const auto& w = sim.moment_weights[0];
    ASSERT_EQ(w.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(w[static_cast<std::size_t>(i)], raw[i] * norm) << i;
    const float m0 = (((raw[0] + raw[1]) + raw[2]) + raw[3]) * 1e20f;
    const auto& ss = sim.source_strengths[0];
    EXPECT_EQ(ss[0].moment_dyne_cm, 50.0f * 1e21f);
    EXPECT_EQ(ss[2].moment_dyne_cm, 100.0f * 1e21f);
    EXPECT_EQ(ss[2].shape_factor, m0 / (std::sqrt(3.0f) * (100.0f * 1e21f)));
}

TEST(Simulator, SlipThatWouldWipeEveryRecordIsRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::string none =
        "the slip model has no slip anywhere: no subfault's slip is large enough to count, so "
        "every record would be zero";
    auto with_cell = [](float slip) {  // segment 1, row 1, column 0
        Segment bad = segment(2, 2, 2.0f, 2.0f);
        bad.subfaults[2].slip = slip;
        return std::vector<Segment>{segment(2, 2, 2.0f, 2.0f), std::move(bad)};
    };
    const struct {
        const char* name;
        std::vector<Segment> segments;
        std::string expected;
    } rows[] = {
        {"all zero", {segment(2, 2, 2, 2, 0.0f)}, none},
        {"below the activity threshold", {segment(1, 1, 2, 2, 1e-9f)}, none},
        {"all negative", {segment(2, 1, 2, 2, -1.0f)}, none},
        {"no segments", {}, none},
        {"NaN cell", with_cell(nan),
         "segment 1 has slip = NaN at row 1, column 0; every slip must be finite"},
        {"-inf cell", with_cell(-inf),
         "segment 1 has slip = -inf at row 1, column 0; every slip must be finite"},
        {"weight overflows", with_cell(1e37f),
         "segment 1 has slip = 10000000000000000000000000000000000000 at row 1, column 0, which "
         "gives a moment weight of inf in its source layer; every moment weight (slip x rigidity "
         "x subfault area) must be finite"},
        {"total moment overflows", with_cell(1e20f),
         "the total moment of the slip model is inf dyne-cm, beyond the float range; slips are "
         "in cm"},
    };
    for (const auto& row : rows) {
        auto r = Simulator::create(config(), StochModel(row.segments), crust());
        ASSERT_FALSE(r.ok()) << row.name;
        EXPECT_EQ(r.error().display(), row.expected) << row.name;
    }
    // A NaN cell in a later segment is still reported after a dicing difference.
    std::vector<Segment> both = with_cell(nan);
    both.push_back(segment(2, 2, 3.0f, 2.0f));
    EXPECT_EQ(dicing_error(std::move(both)).substr(0, 35), "segment 2 has subfault_length_km = ");
}

TEST(Simulator, SurfaceCellTakesAirLayer) {
    // Horizontal segment at the surface: depth 0.5 * sin(0) * W + 0 = 0 <= 0.0001.
    const Simulator sim = build({segment(1, 1, 2.0f, 2.0f, 1.0f, 0.0f, 0.0f),
                                 segment(1, 1, 2.0f, 2.0f, 1.0f, 90.0f, 5.0f)});
    const float mu_air = static_cast<float>((0.0005000000237487257 * 0.0005000000237487257) *
                                            0.0010000000474974513 * 2.0 * 2.0);
    const float mu_crust = static_cast<float>((3.5 * 3.5) * 2.8 * 2.0 * 2.0);
    const float norm = 1.0f / mu_crust;  // only the crustal cell is active
    EXPECT_EQ(sim.moment_weights[0][0], mu_air * norm);
    EXPECT_EQ(sim.moment_weights[1][0], 1.0f);
}

TEST(Simulator, SegmentShapes) {
    const Simulator rowless = build({segment(3, 0, 2, 2), segment(1, 1, 2, 2)});
    EXPECT_TRUE(rowless.moment_weights[0].empty());
    EXPECT_EQ(rowless.segment_mechanisms.size(), 2u);
    EXPECT_EQ(rowless.dx, 2.0f);

    try {
        (void)Simulator::create(config(), StochModel({segment(0, 4, 2, 2)}), crust());
        FAIL() << "expected a stop";
    } catch (const Fault& e) {
        EXPECT_EQ(e.message(), "chunk size must be non-zero");
    }
    // ln grid
    EXPECT_EQ(rowless.ln_grid[0], std::log(0.01f));
    EXPECT_EQ(rowless.ln_grid[19], std::log(70.0f));
    EXPECT_EQ(rowless.rayset, (std::vector<std::int32_t>{1, 2}));
}
