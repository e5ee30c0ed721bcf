#include "korvane/input.hpp"

#include <gtest/gtest.h>

#include "kit.hpp"

#include <cmath>
#include <functional>
#include <limits>

using namespace korvane;
using namespace korvane::input;

using korvane::testing::fault_message;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

Segment make_segment(std::size_t n_along, std::size_t n_down, float dip, float top, float hypo_dd,
                     float length = 2.0f, float width = 1.5f) {
    return Segment(n_along, n_down, std::vector<Subfault>(n_along * n_down), 10.0f, 45.0f, length,
                   width, 30.0f, dip, 90.0f, top, 1.0f, hypo_dd);
}

InputLayer layer(double vs, float thickness, double vp = 5.0) {
    InputLayer l;
    l.vp_km_s = vp;
    l.vsh_km_s = vs;
    l.density_g_cm3 = 2.7;
    l.bottom_depth_km = -99.0f;  // ignored on input
    l.thickness_km = thickness;
    l.quality_factor_p = 200.0f;
    l.quality_factor_s = 100.0f;
    return l;
}

}  // namespace

TEST(Segment, HalfLengthAndGridChecks) {
    const Segment s = make_segment(3, 2, 45.0f, 1.0f, 2.0f, 2.5f);
    EXPECT_EQ(s.half_length, 3.75f);
    EXPECT_EQ(s.subfaults.size(), 6u);

    const std::string msg = fault_message([] {
        Segment(2, 4, std::vector<Subfault>(6), 0, 0, 1, 1, 0, 0, 0, 0, 0, 0);
    });
    EXPECT_NE(msg.find("subfault grid holds 6 entries, expected 2x4"), std::string::npos) << msg;
    EXPECT_NE(msg.find("left: 6"), std::string::npos) << msg;
    EXPECT_NE(msg.find("right: 8"), std::string::npos) << msg;

    const std::size_t big = std::size_t{1} << 33;
    EXPECT_EQ(fault_message([&] { Segment(big, big, {}, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0); }),
              "attempt to multiply with overflow");
}

TEST(StochModel, Totals) {
    const StochModel empty{std::vector<Segment>{}};
    EXPECT_EQ(empty.subfault_count, 0u);
    EXPECT_EQ(empty.total_area_km2, 0.0f);
    EXPECT_EQ(empty.deepest_hypocentre_km, 0.0f);

    std::vector<Segment> segs;
    segs.push_back(make_segment(3, 2, 90.0f, 1.0f, 6.0f));  // depth sin(90)*6+1 = 7
    segs.push_back(make_segment(1, 4, 30.0f, 2.0f, 4.0f));  // sin(30)*4+2 ~ 4
    const StochModel m(std::move(segs));
    EXPECT_EQ(m.subfault_count, 10u);
    EXPECT_EQ(m.total_area_km2, ((3.0f * 2.0f) * 2.0f) * 1.5f + ((1.0f * 2.0f) * 4.0f) * 1.5f);
    EXPECT_EQ(m.deepest_hypocentre_km, std::sin(90.0f * 0.017453292f) * 6.0f + 1.0f);
}

TEST(StochModel, DeepestIgnoresNegativeAndNaN) {
    std::vector<Segment> segs;
    segs.push_back(make_segment(1, 1, 90.0f, -5.0f, 1.0f));  // above the surface
    segs.push_back(make_segment(1, 1, kNaN, 3.0f, 1.0f));    // NaN dip
    segs.push_back(make_segment(1, 1, 90.0f, 3.0f, kNaN));   // NaN hypocentre
    EXPECT_EQ(StochModel(std::move(segs)).deepest_hypocentre_km, 0.0f);

    std::vector<Segment> more;
    more.push_back(make_segment(1, 1, 90.0f, 2.0f, 1.0f));
    more.push_back(make_segment(1, 1, kNaN, 3.0f, 1.0f));
    EXPECT_EQ(StochModel(std::move(more)).deepest_hypocentre_km, 3.0f);
}

TEST(VelocityModel, MohoTruncation) {
    const std::vector<InputLayer> four = {layer(3.0, 2.0f), layer(3.5, 3.0f), layer(4.6, 10.0f),
                                          layer(4.7, 20.0f)};
    auto cut = build_velocity_model(four, 4.5);
    ASSERT_TRUE(cut.ok());
    const auto& l = cut.value();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].bottom_depth_km, 2.0f);
    EXPECT_EQ(l[1].bottom_depth_km, 5.0f);
    EXPECT_EQ(l[2].bottom_depth_km, 5.0f);  // half-space at the bottom of the layer above
    EXPECT_EQ(l[2].thickness_km, 0.0f);
    EXPECT_EQ(l[2].vsh_km_s, 4.6);
    EXPECT_EQ(l[1].thickness_km, 3.0f);

    auto all = build_velocity_model(four, 5.0);
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all.value().size(), 4u);
    EXPECT_EQ(all.value()[3].thickness_km, 0.0f);
    EXPECT_EQ(all.value()[3].bottom_depth_km, 35.0f);  // keeps its own thickness in the sum
    EXPECT_EQ(all.value()[2].bottom_depth_km, 15.0f);

    auto nan_moho = build_velocity_model(four, std::nan(""));
    ASSERT_TRUE(nan_moho.ok());
    EXPECT_EQ(nan_moho.value().size(), 4u);

    auto one = build_velocity_model(std::vector<InputLayer>{layer(3.0, 7.5f)}, 4.5);
    ASSERT_TRUE(one.ok());
    ASSERT_EQ(one.value().size(), 1u);
    EXPECT_EQ(one.value()[0].bottom_depth_km, 7.5f);
    EXPECT_EQ(one.value()[0].thickness_km, 0.0f);

    auto nan_first = build_velocity_model(std::vector<InputLayer>{layer(std::nan(""), 1.0f)}, 4.5);
    EXPECT_TRUE(nan_first.ok());
}

TEST(VelocityModel, Errors) {
    auto none = build_velocity_model(std::vector<InputLayer>{}, 4.5);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().display(), "velocity model has no layers");

    auto top = build_velocity_model(std::vector<InputLayer>{layer(4.0, 1.0f), layer(3.0, 1.0f)}, 4.0);
    ASSERT_FALSE(top.ok());
    EXPECT_EQ(top.error().display(),
              "the first layer already reaches vs_moho = 4 km/s, so there is no model above the "
              "Moho to simulate");
    auto top2 = build_velocity_model(std::vector<InputLayer>{layer(4.0, 1.0f)}, 3.25);
    EXPECT_EQ(top2.error().display().substr(0, 45), "the first layer already reaches vs_moho = 3.2");
}

TEST(AirLayer, Boundaries) {
    auto prepared = [](float thickness, double vp) {
        auto l = build_velocity_model(std::vector<InputLayer>{layer(3.0, thickness, vp),
                                                              layer(4.7, 0.0f)},
                                      4.5);
        return insert_air_layer(std::move(l.value()));
    };
    const auto thick = prepared(2.0f, 5.0);
    ASSERT_EQ(thick.size(), 3u);
    EXPECT_EQ(thick[0].vp_km_s, 0.0010000000474974513);
    EXPECT_EQ(thick[0].vsh_km_s, 0.0005000000237487257);
    EXPECT_EQ(thick[0].density_g_cm3, 0.0010000000474974513);
    EXPECT_EQ(thick[0].bottom_depth_km, 0.0001f);
    EXPECT_EQ(thick[0].thickness_km, 0.0001f);
    EXPECT_EQ(thick[0].quality_factor_p, 200.0f);
    EXPECT_EQ(thick[0].quality_factor_s, 100.0f);
    EXPECT_EQ(thick[1].bottom_depth_km, 2.0f);  // not shifted
    EXPECT_EQ(thick[1].thickness_km, 2.0f);

    EXPECT_EQ(prepared(0.001f, 5.0).size(), 2u);  // exactly 0.001 km: no air
    EXPECT_EQ(prepared(2.0f, 0.01).size(), 2u);   // exactly 0.01 km/s: no air
    EXPECT_EQ(prepared(2.0f, std::nan("")).size(), 2u);

    EXPECT_EQ(fault_message([] { (void)insert_air_layer({}); }),
              "index out of bounds: the len is 0 but the index is 0");
}
