#include "korvane/input.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "kit.hpp"
#include "korvane/sim.hpp"

using namespace korvane;
using namespace korvane::input;
using namespace korvane::testing;

TEST(Segment, GridChecksAndTotals) {
    EXPECT_EQ(fault_message([] { Segment(2, 4, std::vector<Subfault>(6), 0, 0, 1, 1, 0, 0, 0, 0, 0, 0); }),
              "assertion `left == right` failed: subfault grid holds 6 entries, expected 2x4\n  left: 6\n right: 8");
    // 3x2 and 1x4 cells of 2 x 2 km; hypocentres 7 km deep (dip 90), NaN and above the surface.
    const StochModel m({make_segment({.n_along = 3, .n_down = 2, .dip_deg = 90, .top_depth_km = 1, .hypo_down_km = 6}),
                        make_segment({.n_along = 1, .n_down = 4, .dip_deg = NAN, .top_depth_km = 9}),
                        make_segment({.n_along = 1, .n_down = 4, .top_depth_km = -9})});
    EXPECT_EQ(std::tuple(m.subfault_count, m.total_area_km2, m.deepest_hypocentre_km),
              std::tuple(14u, 56.0f, 7.0f)) << "subfaults, area, deepest hypocentre";
    EXPECT_EQ(StochModel({make_segment({.top_depth_km = -9})}).deepest_hypocentre_km, 0.0f);
}

// Layers as given (thickness, vp, vs) -> bottom:thickness of each layer kept, or the message.
TEST(VelocityModel, MohoTruncation) {
    const auto four = input_layers({{2, 5, 3.0}, {3, 5, 3.5}, {10, 5, 4.6}, {20, 5, 4.7}});
    const std::string reaches = "the first layer already reaches vs_moho = ";
    const std::string none = " km/s, so there is no model above the Moho to simulate";
    for (const auto& [name, given, vs_moho, want] : {
             std::tuple{"cut at 4.6", four, 4.5, std::string("2:2 5:3 5:0 ")},
             {"vs equal to vs_moho cuts", four, 4.6, "2:2 5:3 5:0 "},
             {"nothing reaches vs_moho", four, 5.0, "2:2 5:3 15:10 35:0 "},
             {"one layer", input_layers({{7.5, 5, 3.0}}), 4.5, "7.5:0 "},
             {"NaN first vs", input_layers({{1, 5, NAN}, {2, 5, 3}}), 4.5, "1:1 3:0 "},
             {"no layers", {}, 4.5, "velocity model has no layers"},
             {"first equal", input_layers({{1, 5, 4.0}, {1, 5, 3.0}}), 4.0, reaches + "4" + none}}) {
        const auto got = build_velocity_model(given, vs_moho);
        std::string text;
        for (const auto& l : got ? got.value() : given) {
            text += format_number(l.bottom_depth_km) + ":" + format_number(l.thickness_km) + " ";
        }
        EXPECT_EQ(got ? text : got.error().display(), want) << name;
    }
}

TEST(VelocityModel, AirLayerAndSourceLayer) {
    for (auto [thickness, vp, air] : {std::tuple{2.0f, 5.0, true}, {0.001f, 5.0, false}, {0.0011f, 5.0, true},
                                      {2.0f, 0.01, false}, {2.0f, 0.011, true}, {2.0f, double(NAN), false}}) {
        const auto model = build_velocity_model(input_layers({{thickness, vp, 3.0}, {0, 6, 4.7}}), 4.5).value();
        const auto out = insert_air_layer(model);
        ASSERT_EQ(out.size(), air ? 3u : 2u) << thickness << " km, vp " << vp;
        EXPECT_EQ(out[out.size() - 2].bottom_depth_km, thickness);  // not shifted
        if (!air) continue;
        EXPECT_EQ(std::tuple(out[0].vp_km_s, out[0].vsh_km_s, out[0].density_g_cm3),
                  std::tuple(double(0.001f), double(0.0005f), double(0.001f))) << "air layer vp, vs, density";
        EXPECT_EQ(std::tuple(out[0].bottom_depth_km, out[0].thickness_km, out[0].quality_factor_p),
                  std::tuple(0.0001f, 0.0001f, 200.0f)) << "air layer bottom, thickness, Qp";
        EXPECT_EQ(out[0].quality_factor_s, 100.0f) << "air layer Qs";
    }
    EXPECT_EQ(fault_message([] { (void)insert_air_layer({}); }),
              "index out of bounds: the len is 0 but the index is 0");
    // Source layer: the first whose bottom is at or below z, else the last.
    const auto layers = build_velocity_model(input_layers({{2, 5, 3}, {3, 5, 3.5}, {0, 6, 4.7}}), 4.5).value();
    for (auto [z, want] : {std::pair{1.0f, 0u}, {2.0f, 0u}, {2.001f, 1u}, {5.0f, 1u}, {5.5f, 2u}, {NAN, 2u}}) {
        EXPECT_EQ(sim::source_layer_index(std::span<const state::InputLayer>(layers), z), want) << z;
    }
    auto past_the_end = layers;  // a layer beyond the span, deep enough to be taken if it were read
    past_the_end.push_back({.bottom_depth_km = 100.0f});
    EXPECT_EQ(sim::source_layer_index(std::span<const state::InputLayer>(past_the_end).first(3), 50.0f), 2u);
}

// Truncation toward zero, NaN -> 0, saturation at (and only at) the limits, in both widths;
// the shortest decimal that reads back, written positionally.
TEST(Numbers, SaturatingTruncationAndFormatting) {
    const double inf = INFINITY, p64 = 18446744073709551616.0;
    for (auto [x, want] : {std::pair<double, std::size_t>{-0.5, 0}, {NAN, 0}, {1000.99, 1000}, {p64, SIZE_MAX},
                           {18446742974197923840.0, 18446742974197923840u}}) {
        EXPECT_EQ(std::pair(to_usize(static_cast<float>(x)), to_usize(x)), std::pair(want, want)) << x;
    }
    for (const auto& [x, want] : {std::pair<double, std::string>{4.0, "4"}, {2.5, "2.5"}, {-0.0, "-0"}, {0.1, "0.1"},
                                  {123456.75, "123456.75"}, {1e20, "100000000000000000000"}, {NAN, "NaN"},
                                  {-NAN, "NaN"}, {inf, "inf"}, {-inf, "-inf"}, {-1.5e-7, "-0.00000015"}}) {
        EXPECT_EQ(format_number(static_cast<float>(x)) + " " + format_number(x), want + " " + want);
    }
    EXPECT_EQ(format_number(static_cast<double>(0.1f)), "0.10000000149011612");
}

TEST(Numbers, CheckedArithmeticStopsOnOverflow) {
    EXPECT_EQ((std::vector{checked_add<std::size_t>(2, 3), checked_sub<std::size_t>(5, 3),
                           checked_mul<std::size_t>(2, 3)}), (std::vector<std::size_t>{5, 2, 6}));
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[] { (void)checked_add<std::size_t>(SIZE_MAX, 1); }, "add"},
        {[] { (void)checked_sub<std::size_t>(0, 1); }, "subtract"},
        {[] { (void)checked_mul<std::size_t>(SIZE_MAX / 2 + 1, 2); }, "multiply"}};
    for (const auto& [call, op] : rows) EXPECT_EQ(fault_message(call), "attempt to " + op + " with overflow");
}
