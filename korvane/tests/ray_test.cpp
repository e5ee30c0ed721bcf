#include "korvane/ray.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "kit.hpp"

// Reference values are computed in double from f32 results.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

using namespace korvane::ray;
using namespace korvane::testing;

// Air layer, four crustal layers, the half-space. Tops 0.0001, 2.0001, 5.0001, 10.0001, 20.0001 km.
static const auto kCrust = ray_layers({{0.0001, 0.001, 0.0005, 2.7, 10}, {2, 3.5, 2.0, 2.7, 50}, {3, 5, 2.9},
                                       {5, 6, 3.5, 2.7, 200}, {10, 6.6, 3.8}, {0, 8, 4.6}});
// No air layer: interfaces at 1, 3, 6 and 10 km.
static const auto kPlain = ray_layers({{1, 3, 1.8}, {2, 4.5, 2.6}, {3, 5.8, 3.3}, {4, 6.4, 3.7}, {0, 7.9, 4.5}});

static GreenResult run(RayState& st, const std::vector<RayLayer>& layers, int code, float z, float r = 20.0f) {
    GreenResult g;
    green_function(g, st, layers, code, WaveMode::Shear, z, r);
    return g;
}

static std::string digits(const auto& v) {  // one digit per entry
    std::string s;
    for (auto x : v) s += static_cast<char>('0' + x);
    return s;
}

TEST(RayPaths, LegsDirectionsAndTurnsPerCodeAndDepth) {
    RayState st;  // reused from ray to ray
    // name, model, code, source depth -> legs, down flags, turns (one digit per leg)
    for (const auto& [name, layers, code, depth, want] : {
             std::tuple{"direct from layer 3", kCrust, 1, 7.0f, "321 000 000"},
             {"moho reflection", kCrust, 2, 7.0f, "344321 110000 010000"},
             {"code 0 is code 2", kCrust, 0, 7.0f, "344321 110000 010000"},
             {"surface reverberation", kCrust, 3, 7.0f, "32112344321 00011110000 00100010000"},
             {"one leg", kCrust, 1, 1.5f, "1 0 2"},
             {"code 3 from layer 1", kCrust, 3, 1.5f, "112344321 011110000 100010000"},
             {"code 3 from layer 0", kPlain, 3, 0.5f, "123321 111000 001000"},
             {"in the half-space", kPlain, 2, 50.0f, "3321 1000 1000"}}) {
        const GreenResult g = run(st, layers, code, depth);
        EXPECT_EQ(digits(st.legs) + " " + digits(st.down) + " " + digits(st.turns), want) << name;
        EXPECT_EQ(st.first_down, st.down[0]) << name;
        EXPECT_EQ(st.deepest, *std::max_element(st.legs.begin(), st.legs.end())) << name;
        EXPECT_TRUE(std::isfinite(g.travel_time_s)) << name;
        EXPECT_GT(g.path_length_km, 0.0f) << name;
    }
}

TEST(RayPaths, SourceNudgeCountsAndModes) {
    for (auto [z, layer, moved] : {std::tuple{6.0, 3u, 6.02}, {6.01, 3u, 6.02}, {5.99, 2u, 5.98}, {5.97, 2u, 5.97},
                                   {10.0, 3u, 9.98}, {50.0, 3u, 9.98}}) {
        const auto at = detail::source_position(kPlain, z);  // 0.02 km (f32) off any interface
        EXPECT_EQ(at.layer, layer) << z;
        EXPECT_NEAR(at.depth_km, moved, 1e-8) << z;
    }
    EXPECT_EQ(detail::source_position(ray_layers({{0, 6, 3.5}}), 5.0).layer, 0u);  // nothing of positive thickness
    const float above = static_cast<float>((7.0 - 5.0001) / 5.0);  // part of layer 3 above the source
    for (auto [code, depth, counts] : {std::tuple{3, 7.0f, std::vector<float>{0, 3, 3, 2 + above, 2, 0}},
                                       {2, 1.5f, {0, 1.25005f, 2, 2, 2, 0}}}) {
        RayState st;
        run(st, kCrust, code, depth);
        for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(st.travel.s_counts[i], counts[i], 1e-6) << code << " " << i;
    }
    // P down from the source, S through layer 2, P back up: the end fractions come off the P counts.
    RayState st;
    st.legs = {1, 2, 2, 1};
    st.modes = {WaveMode::Compressional, WaveMode::Shear, WaveMode::Shear, WaveMode::Compressional};
    build_ray_path(st, kPlain, 1.5, 1.0);
    EXPECT_EQ(st.mode_flag, 1u);
    EXPECT_EQ(st.travel.p_counts, (std::vector<float>{0, 1.75f, 0, 0, 0}));
    EXPECT_EQ(st.travel.s_counts, (std::vector<float>{0, 0, 2, 0, 0}));
    st.start_sign = -1;  // several legs, forced to start upward
    build_ray_path(st, kPlain, 1.5, 1.0);
    EXPECT_EQ(digits(st.down), "0011");
    st.legs = {1};  // one leg down from 1.5 km to a receiver at 2.5 km: half of layer 1
    build_ray_path(st, kPlain, 1.5, 2.5);
    EXPECT_EQ(st.travel.p_counts[1], 0.5f);
}

TEST(RayPaths, LegLimitAndStops) {
    RayState st;
    run(st, kCrust, 262144, 1.5f);  // 8 legs per reverberation from layer 1: exactly 2^20
    EXPECT_EQ(st.legs.size(), kMaxLegs);
    const std::string more = " legs, more than the 1048576 a ray may have";
    for (const auto& [layers, code, depth, message] : {
             std::tuple{kCrust, 262146, 1.5f, "ray type 262146 needs 1048584" + more},
             {kPlain, -3, 7.0f, "ray type -3 is negative; th1 would be undefined"},
             {kPlain, 1, 0.5f, "build_ray_path needs at least one ray segment"},
             {kPlain, 2, 0.5f, "attempt to subtract with overflow"}}) {  // the last: first leg in layer 0
        EXPECT_EQ(fault_message([&] { run(st, layers, code, depth); }), message) << code;
    }
    RayPath path;  // without a zero-thickness layer the descent ends at the bound
    EXPECT_EQ(path.descend_to_moho(WaveMode::Shear, kPlain, 1, 3), 3u);
    EXPECT_EQ(digits(path.legs), "12");
}

TEST(RayParameter, SlownessStationaryPinnedAndExhausted) {
    for (const std::complex p : {std::complex{0.3, 0.0}, {0.6, 0.0}, {0.3, 0.01}, {0.6, 0.02}, {0.3, 1e-8}}) {
        const auto e = vertical_slowness(2.0, p);  // on the decaying branch
        EXPECT_LT(std::abs(e * e - (0.25 - p * p)), 1e-12) << p;
        EXPECT_TRUE(e.imag() <= 0.0 && e.real() > -1e-16) << "branch: " << e << " at p " << p;
    }
    // One leg: the stationary Cagniard time is the straight-ray time.
    RayState st;
    const GreenResult g = run(st, kCrust, 1, 1.5f, 10.0f);
    const double slant = std::hypot(10.0, 1.4999);
    EXPECT_NEAR(g.travel_time_s, slant / 2, 1e-4);
    EXPECT_NEAR(g.ray_parameter_s_km, 5 / slant, 1e-3);
    // At a complex p too, dt/dp is the slope of t: on this S path and on a P-S-S-P one.
    const auto slope_matches = [](const RayState& s, const std::vector<RayLayer>& layers) {
        const std::complex<double> pc{0.2, 0.05}, h{1e-6, 0};
        const auto diff = (cagniard_time(s, layers, pc + h, 10.0) - cagniard_time(s, layers, pc - h, 10.0)) / (2.0 * h);
        return std::abs(cagniard_time_derivative(s, layers, pc, 10.0) - diff) < 1e-6;
    };
    RayState converted;
    converted.legs = {1, 2, 2, 1};
    converted.modes = {WaveMode::Compressional, WaveMode::Shear, WaveMode::Shear, WaveMode::Compressional};
    build_ray_path(converted, kPlain, 1.5, 1.0);
    EXPECT_TRUE(slope_matches(st, kCrust)) << "S path";
    EXPECT_TRUE(slope_matches(converted, kPlain)) << "P-S-S-P path";
    // Only positive counts add to t; dt/dp takes every non-zero count, so a NaN count makes it NaN.
    RayState counts;
    counts.deepest = 1;
    counts.travel.p_counts = {-1.0f, NAN};  // kPlain: h 1 km at 3 km/s, then 2 km at 4.5 km/s
    counts.travel.s_counts = {0.0f, 2.0f};  // 2 km at 2.6 km/s
    const double t = 0.1 * 10.0 + 2.0 * 2.0 * std::sqrt(1.0 / (2.6 * 2.6) - 0.01);
    EXPECT_NEAR(cagniard_time(counts, kPlain, {0.1, 0.0}, 10.0).real(), t, 1e-12);
    EXPECT_TRUE(std::isnan(cagniard_time_derivative(counts, kPlain, {0.1, 0.0}, 10.0).real()));
    // Beyond the critical distance p is pinned below 1/vs.
    run(st, kCrust, 1, 0.06f, 5000.0f);
    EXPECT_EQ(stationary_ray_parameter(st, kCrust, 5000.0).p_s_km, 0.5 - 1e-9);
    // At distance 0 with a huge count |dt/dp| never reaches 0.01: all 40 midpoints, each halving.
    st.travel.s_counts[1] = 1e13f;
    EXPECT_EQ(stationary_ray_parameter(st, kCrust, 0.0).p_s_km, std::ldexp(0.5 - 1e-9, -40));
}

TEST(Spreading, LengthAttenuationAndGrazingLegs) {
    RayState st;
    const GreenResult g = run(st, kCrust, 1, 7.0f, 20.0f);
    const double p = g.ray_parameter_s_km;
    auto leg = [&](double vs, double dz) { return dz / std::sqrt(1.0 - p * vs * p * vs); };
    // The first leg runs from the tops summed below the air layer.
    const double l3 = leg(3.5, 2.0), l2 = leg(2.9, 3.0), l1 = leg(2.0, 2.0);
    EXPECT_NEAR(g.path_length_km, l3 + l2 + l1, 1e-4);
    EXPECT_NEAR(g.t_star_s, l3 / 700.0 + l2 / 290.0 + l1 / 100.0, 1e-6);
    run(st, kCrust, 2, 7.0f);
    EXPECT_NEAR(geometric_spreading(st, kCrust, true, 7.0, 0.0).length_km, 33.0, 1e-9);
    st.legs = {1};  // p vs = 1 exactly: sin i clamped to 0.999999 (f32), ~702 x the depth
    const Spreading grazing = geometric_spreading(st, kCrust, false, 0.5, 0.5);
    EXPECT_NEAR(grazing.length_km, 351.2, 0.05);
    EXPECT_NEAR(grazing.t_star_s, 3.512f, 1e-3f);
}
