// Simulator construction and the station-independent pieces of the run:
// duration tables, rupture-velocity profile, mechanism factors, record length.
#include "korvane/sim.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "kit.hpp"

using namespace korvane;
using namespace korvane::sim;
using korvane::testing::input_layers;
using korvane::testing::make_segment;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

HfConfig config(float duration_s = 10.0f, float dt = 0.01f) {
    return {.path = {.rayset = {1, 2}, .path_duration_model = 0},
            .source = {.rupture_velocity_fraction = 0.8f, .rupture_velocity_shallow = 0.6f,
                       .rupture_velocity_deep = 1.5f, .rupture_velocity_sigma = 0.1f,
                       .corner_frequency_constant = 2.0f, .corner_frequency_alpha = 1.0f},
            .record = {.duration_s = duration_s, .dt = dt},
            .site = {.fmax_hz = 15.0f}};
}

// Layers 2.6 km/s, 2.4 g/cm^3 to 2 km, 3.5 km/s, 2.8 g/cm^3 to 20 km, then the half-space.
Result<Simulator, SimError> create(std::vector<input::Segment> segs, const HfConfig& c = config()) {
    const auto in = input_layers({{2.0, 4.5, 2.6, 2.4}, {18.0, 6.0, 3.5, 2.8}, {0.0, 8.0, 4.6, 3.3}});
    return Simulator::create(c, input::StochModel(std::move(segs)), input::build_velocity_model(in, 4.5).value());
}

}  // namespace

// Durations halfway along every piece of the published tables (which pins
// both ends of each piece), beyond their ends and below their start.
TEST(PathDuration, TablesHalfwayAlongEveryPiece) {
    const struct { std::uint8_t variant; float km, seconds; } rows[] = {
        {0, 100.0f, 6.3f},  {1, 100.0f, 7.0f},    {2, 100.0f, 10.0f},  {2, -5.0f, 0.0f},    {2, 0.0f, 0.0f},
        {3, 3.5f, 1.2f},    {3, 26.0f, 5.4f},     {3, 85.0f, 9.65f},   {3, 150.0f, 14.15f}, {3, 222.5f, 25.8f},
        {3, 370.0f, 51.884211f},                  {4, -1.0f, 0.0f},    {4, 7.5f, 1.3f},     {4, 25.0f, 10.05f},
        {4, 42.5f, 21.3f},  {4, 87.5f, 25.1f},    {4, 162.5f, 26.8f},  {4, 296.0f, 37.25f}, {4, 496.0f, 57.55f},
        {4, 700.0f, 80.205769f},
    };
    for (const auto& row : rows) {
        EXPECT_NEAR(path_duration(duration_table_for(row.variant), row.km), row.seconds, 2e-6f * row.seconds)
            << "variant " << int{row.variant} << " at " << row.km << " km";
    }
    EXPECT_TRUE(std::isnan(path_duration(duration_table_for(3), kNaN)));
    EXPECT_EQ(path_duration({}, 50.0f), 0.0f);
}

// Fraction 0.8, shallow 0.6, deep 1.5; ramps 5-8 km and 15-20 km.
TEST(RuptureVelocity, DepthProfile) {
    const Simulator sim = create({make_segment({.top_depth_km = 2.0f})}).value();
    ASSERT_EQ(sim.deep_ramp_top_km, 15.0f);
    const struct { float z, rv; } rows[] = {
        {0.0f, 0.48f}, {4.99f, 0.48f}, {5.0f, 0.48f},  {6.5f, 0.64f},  {7.7f, 0.768f}, {8.0f, 0.8f},  {12.0f, 0.8f},
        {15.0f, 0.8f}, {16.0f, 0.88f}, {17.5f, 1.0f},  {20.0f, 1.2f},  {40.0f, 1.2f},  {kNaN, 0.48f}};
    for (const auto& row : rows) EXPECT_NEAR(rupture_velocity_profile(sim, row.z), row.rv, 1e-6f) << "z " << row.z;
    const Simulator deep = create({make_segment({.dip_deg = 90.0f, .hypo_down_km = 14.0f})}).value();
    EXPECT_EQ(std::pair(deep.deep_ramp_top_km, deep.deep_ramp_bottom_km), std::pair(16.0f, 21.0f));  // hypocentre 16 km
}

TEST(Mechanism, DipAndRakeFactors) {
    const struct { float angle, factor; } dips[] = {{0.0f, 1.0f},  {45.0f, 1.0f}, {67.5f, 0.5f}, {90.0f, 0.0f},
                                                    {95.0f, 0.0f}, {-1.0f, 0.0f}, {kNaN, 0.0f}},
      rakes[] = {{90.0f, 1.0f},  {450.0f, 1.0f}, {-270.0f, 1.0f}, {45.0f, 0.5f},     {-315.0f, 0.5f},
                 {0.0f, 0.0f},   {180.0f, 0.0f}, {-180.0f, 0.0f}, {-90.0f, 0.0f},    {540.0f, 0.0f},
                 {190.0f, 0.0f}, {170.0f, 1.0f / 9.0f}, {kNaN, 0.0f}, {INFINITY, 0.0f}};
    for (const auto& row : dips) EXPECT_EQ(dip_factor(row.angle), row.factor) << "dip " << row.angle;
    for (const auto& row : rakes) EXPECT_NEAR(rake_factor(row.angle), row.factor, 1e-6f) << "rake " << row.angle;
    // Radians, the rake unfolded, and F = C (1 + FD FR alpha) = 2 (1 + 0.5 x 0.5 x 1).
    const Simulator s = create({make_segment({.strike_deg = 10.0f, .dip_deg = 67.5f, .rake_deg = 405.0f})}).value();
    const SegmentMechanism& m = s.segment_mechanisms.at(0);
    const std::pair<float, float> got_want[] = {{m.strike_rad, 0.17453293f}, {m.dip_rad, 1.1780972f},
                                                {m.rake_rad, 7.0685835f}, {m.corner_frequency_factor, 2.5f}};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(got_want[i].first, got_want[i].second, 1e-6f) << i;
}

TEST(Simulator, RecordLengthAndSiteGrid) {
    const struct { float duration, dt; std::size_t n_time; } rows[] = {
        {10.0f, 0.01f, 1000}, {0.7f, 0.1f, 7},  // the f32 quotient; f64 gives 6
        {-10.0f, 0.01f, 0}, {0.0f, 0.0f, 0}, {10.0f, 0.0f, std::numeric_limits<std::size_t>::max()}};
    for (const auto& row : rows) {
        EXPECT_EQ(create({make_segment({})}, config(row.duration, row.dt)).value().n_time, row.n_time)
            << row.duration << " / " << row.dt;
    }
    const float freqs[20] = {0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f,  0.3f,  0.5f,  0.7f,
                             1.0f,  2.0f,  3.0f,  5.0f,  7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f};
    const Simulator s = create({make_segment({})}).value();
    for (std::size_t i = 0; i < 20; ++i) EXPECT_NEAR(std::exp(s.ln_grid[i]), freqs[i], 1e-6f * freqs[i]) << i;
}

TEST(Simulator, RefusedModels) {
    const std::string none = "no subfault radiates: every moment weight (slip x rigidity x subfault area) "
                             "is 0.001 or less, so every record would be zero; a subfault needs slip (in "
                             "cm) and a centre below the surface (one within 0.0001 km of the datum or "
                             "above it lies in the air layer, whose rigidity is almost nil)";
    const std::string diced = " km; every segment must be diced the same way because the subfault "
                              "size is one quantity for the whole run";
    const auto with_cell = [](float slip, float length_km = 2.0f) {  // segment 1, row 1, column 0
        std::vector<input::Segment> segs{make_segment({}), make_segment({.length_km = length_km})};
        segs[1].subfaults[2].slip = slip;
        return segs;
    };
    auto three = with_cell(kNaN);
    three.push_back(make_segment({.length_km = 3.0f}));
    const struct { std::vector<input::Segment> segments; std::string expected; } rows[] = {
        {with_cell(1.0f, 2.5f), "segment 1 has subfault_length_km = 2.5 km, but segment 0 has 2" + diced},
        {{make_segment({}), make_segment({.width_km = 1.5f})},
         "segment 1 has subfault_width_km = 1.5 km, but segment 0 has 2" + diced},
        {std::move(three), "segment 2 has subfault_length_km = 3 km, but segment 0 has 2" + diced},
        {{make_segment({.slip = 0.0f})}, none},
        {{make_segment({.n_along = 1, .n_down = 1, .slip = 1e-9f})}, none},
        {{make_segment({.slip = 500.0f, .dip_deg = 90.0f, .top_depth_km = -4.0f})}, none},  // in the air
        {with_cell(kNaN), "segment 1 has slip = NaN at row 1, column 0; every slip must be finite"},
        {with_cell(1e37f),
         "segment 1 has slip = 10000000000000000000000000000000000000 at row 1, column 0, which "
         "gives a moment weight of inf in its source layer; every moment weight (slip x rigidity "
         "x subfault area) must be finite"},
        {with_cell(1e20f),
         "the total moment of the slip model is inf dyne-cm, beyond the float range; slips are in cm"},
    };
    for (const auto& row : rows) {
        auto r = create(row.segments);
        EXPECT_EQ(r.ok() ? "<ok>" : r.error().display(), row.expected);
    }
    // A segment of no columns stops before its rows are counted (a division by zero).
    EXPECT_EQ(korvane::testing::fault_message([] { (void)create({make_segment({.n_along = 0, .n_down = 4})}); }),
              "chunk size must be non-zero");
}
