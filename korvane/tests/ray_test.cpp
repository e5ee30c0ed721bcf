#include "korvane/ray.hpp"

#include <gtest/gtest.h>

#include "kit.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "korvane/fault.hpp"

using namespace korvane;
using namespace korvane::ray;
using korvane::state::RayLayer;

using korvane::testing::fault_message;

namespace {

struct L {
    double h, vp, vs;
    float qs;
};

std::vector<RayLayer> model(std::initializer_list<L> rows) {
    std::vector<RayLayer> out;
    double bottom = 0.0;
    for (const L& l : rows) {
        bottom += l.h;
        out.push_back(RayLayer{bottom, l.h, l.vp, l.vs, 2.5, l.qs * 2.0f, l.qs});
    }
    return out;
}

// Air layer, four crustal layers (deepest above the half-space: layer 4) and
// the half-space.
std::vector<RayLayer> crust() {
    return model({{0.0001, 0.001, 0.0005, 10.0f},
                  {2.0, 3.5, 2.0, 50.0f},
                  {3.0, 5.0, 2.9, 100.0f},
                  {5.0, 6.0, 3.5, 200.0f},
                  {10.0, 6.6, 3.8, 300.0f},
                  {0.0, 8.0, 4.6, 500.0f}});
}

// No air layer; interfaces at 1, 3, 6 and 10 km are exact in binary.
std::vector<RayLayer> plain() {
    return model({{1.0, 3.0, 1.8, 40.0f},
                  {2.0, 4.5, 2.6, 80.0f},
                  {3.0, 5.8, 3.3, 150.0f},
                  {4.0, 6.4, 3.7, 250.0f},
                  {0.0, 7.9, 4.5, 400.0f}});
}

using Legs = std::vector<std::size_t>;
using Flags = std::vector<std::uint8_t>;

GreenResult run(RayState& st, const std::vector<RayLayer>& layers, std::int32_t code, float z,
                float r) {
    GreenResult g;
    green_function(g, st, layers, code, WaveMode::Shear, z, r);
    return g;
}

}  // namespace

TEST(RayPaths, DirectReflectedAndReverberatingRays) {
    const auto layers = crust();
    const double top3 = (0.0001 + 2.0) + 3.0;
    const double above = (7.0 - top3) / 5.0;  // fraction of layer 3 above the source
    RayState st;

    run(st, layers, 1, 7.0f, 20.0f);
    EXPECT_EQ(st.legs, (Legs{3, 2, 1}));
    EXPECT_EQ(st.down, (Flags{0, 0, 0}));
    EXPECT_EQ(st.turns, (Flags{0, 0, 0}));
    EXPECT_EQ(st.first_down, 0);
    EXPECT_EQ(st.deepest, 3u);
    EXPECT_EQ(st.mode_flag, 2u);
    EXPECT_EQ(st.start_sign, 1);
    EXPECT_EQ(st.travel.s_counts, (std::vector<float>{0, 1, 1, static_cast<float>(above), 0, 0}));
    EXPECT_EQ(st.travel.p_counts, std::vector<float>(6, 0.0f));

    run(st, layers, 2, 7.0f, 20.0f);
    EXPECT_EQ(st.legs, (Legs{3, 4, 4, 3, 2, 1}));
    EXPECT_EQ(st.down, (Flags{1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(st.turns, (Flags{0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(st.first_down, 1);
    EXPECT_EQ(st.deepest, 4u);
    EXPECT_FLOAT_EQ(st.travel.s_counts[3], static_cast<float>(2.0 - above));
    EXPECT_EQ(st.travel.s_counts[4], 2.0f);
    EXPECT_EQ(st.travel.s_counts[1], 1.0f);

    run(st, layers, 3, 7.0f, 20.0f);
    EXPECT_EQ(st.legs, (Legs{3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1}));
    EXPECT_EQ(st.first_down, 0);
    EXPECT_EQ(st.down, (Flags{0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(st.turns, (Flags{0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(st.travel.s_counts[1], 3.0f);
    EXPECT_FLOAT_EQ(st.travel.s_counts[3], static_cast<float>(2.0 + above));

    run(st, layers, 4, 7.0f, 20.0f);
    EXPECT_EQ(st.legs, (Legs{3, 4, 4, 3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1}));
    EXPECT_EQ(st.first_down, 1);

    run(st, layers, 5, 7.0f, 20.0f);
    EXPECT_EQ(st.legs.size(), 3u + 2u * 8u);
    EXPECT_EQ(st.first_down, 0);
    EXPECT_EQ(st.travel.s_counts[4], 4.0f);
}

TEST(RayPaths, SingleLegDirectRay) {
    const auto layers = crust();
    RayState st;
    run(st, layers, 1, 1.5f, 10.0f);
    EXPECT_EQ(st.legs, (Legs{1}));
    EXPECT_EQ(st.turns, (Flags{2}));
    EXPECT_EQ(st.first_down, 0);
    EXPECT_FLOAT_EQ(st.travel.s_counts[1], static_cast<float>((1.5 - 0.0001) / 2.0));
}

TEST(RayPaths, CodeZeroIsTheMohoReflection) {
    const auto layers = crust();
    RayState a;
    RayState b;
    const GreenResult g0 = run(a, layers, 0, 7.0f, 35.0f);
    const GreenResult g2 = run(b, layers, 2, 7.0f, 35.0f);
    EXPECT_EQ(a.legs, b.legs);
    EXPECT_EQ(a.travel.s_counts, b.travel.s_counts);
    EXPECT_EQ(g0.ray_parameter_s_km, g2.ray_parameter_s_km);
    EXPECT_EQ(g0.travel_time_s, g2.travel_time_s);
    EXPECT_EQ(g0.path_length_km, g2.path_length_km);
    EXPECT_EQ(g0.t_star_s, g2.t_star_s);
}

TEST(RayPaths, SourceNudgedOffInterfaces) {
    const auto layers = plain();
    const double d = static_cast<double>(0.02f);
    auto at = [&](double z) { return detail::source_position(layers, z); };
    EXPECT_EQ(at(6.0).layer, 3u);  // on an interface: into the lower layer
    EXPECT_EQ(at(6.0).depth_km, 6.0 + d);
    EXPECT_EQ(at(6.01).depth_km, 6.0 + d);
    const double near_bottom = static_cast<double>(5.99f);
    EXPECT_EQ(at(near_bottom).layer, 2u);
    EXPECT_EQ(at(near_bottom).depth_km, 6.0 - d);
    EXPECT_EQ(at(5.97).depth_km, 5.97);
    for (double deep : {10.0, 10.01, 50.0, std::nan("")}) {
        EXPECT_EQ(at(deep).layer, 3u);  // deepest layer of positive thickness
        EXPECT_EQ(at(deep).depth_km, 10.0 - d);
    }
    // Through green_function: the fraction of the source layer uses the moved depth.
    RayState st;
    run(st, layers, 1, 6.0f, 5.0f);
    EXPECT_EQ(st.legs, (Legs{3, 2, 1}));
    EXPECT_FLOAT_EQ(st.travel.s_counts[3], static_cast<float>(d / 4.0));
    run(st, layers, 2, 50.0f, 5.0f);
    EXPECT_EQ(st.legs, (Legs{3, 3, 2, 1}));
}

TEST(RayPaths, ZeroThicknessLayerStopsDescentsFromAboveOnly) {
    const auto layers = model({{0.0001, 0.001, 0.0005, 10.0f},
                               {2.0, 3.5, 2.0, 50.0f},
                               {0.0, 5.0, 2.9, 100.0f},
                               {3.0, 6.0, 3.5, 200.0f},
                               {5.0, 6.6, 3.8, 300.0f},
                               {0.0, 8.0, 4.6, 500.0f}});
    RayState st;
    GreenResult g = run(st, layers, 2, 1.0f, 15.0f);
    EXPECT_EQ(st.legs, (Legs{1, 1}));  // reflected at the top of the empty layer
    g = run(st, layers, 2, 4.0f, 15.0f);
    EXPECT_EQ(st.legs, (Legs{3, 4, 4, 3, 2, 1}));
    EXPECT_TRUE(std::isfinite(g.travel_time_s));
    EXPECT_TRUE(std::isfinite(g.path_length_km));
    run(st, layers, 3, 4.0f, 15.0f);
    EXPECT_EQ(st.legs, (Legs{3, 2, 1, 1, 1}));
}

TEST(RayPaths, Stops) {
    const auto layers = plain();
    RayState st;
    EXPECT_EQ(fault_message([&] { run(st, layers, -3, 7.0f, 10.0f); }),
              "ray type -3 is negative; th1 would be undefined");
    // A source inside layer 0 (no air layer) has no direct legs.
    EXPECT_EQ(fault_message([&] { run(st, layers, 1, 0.5f, 10.0f); }),
              "build_ray_path needs at least one ray segment");
    RayState empty;
    EXPECT_EQ(fault_message([&] { build_ray_path(empty, layers, 1.0, 0.0); }),
              "build_ray_path needs at least one ray segment");
    EXPECT_TRUE(empty.travel.s_counts.empty());
    // ...while code 3 starts with the reverberation from layer 1.
    EXPECT_EQ(fault_message([&] { run(st, layers, 3, 0.5f, 10.0f); }), "<no fault>");
    EXPECT_EQ(st.legs, (Legs{1, 2, 3, 3, 2, 1}));
    // An even code from layer 0 starts in the receiver's layer.
    EXPECT_NE(fault_message([&] { run(st, layers, 2, 0.5f, 10.0f); }), "<no fault>");
    // No layers; no layer below the half-space to descend into.
    EXPECT_EQ(fault_message([&] { run(st, {}, 1, 1.0f, 1.0f); }),
              "index out of bounds: the len is 0 but the index is 0");
    const auto one = model({{0.0, 6.0, 3.5, 100.0f}});
    EXPECT_NE(fault_message([&] { run(st, one, 2, 1.0f, 1.0f); }), "<no fault>");
    RayPath path;
    EXPECT_NE(fault_message([&] { path.descend_to_moho(WaveMode::Shear, layers, 1, 0); }),
              "<no fault>");
}

TEST(RayPaths, HugeCodesAreRefusedBeforeTheirPathIsBuilt) {
    // Source in layer 3 of crust(): 3 direct legs, then 8 per reverberation.
    const auto layers = crust();
    RayState st;
    run(st, layers, 262143, 7.0f, 20.0f);  // 131071 reverberations: 1048571 legs
    EXPECT_EQ(st.legs.size(), 1048571u);
    EXPECT_EQ(st.travel.s_counts[4], 2.0f * 131071.0f);
    EXPECT_EQ(fault_message([&] { run(st, layers, 262145, 7.0f, 20.0f); }),
              "ray type 262145 needs 1048579 legs, more than the 1048576 a ray may have");
    // The largest code is refused at once instead of asking for ~100 GB of legs.
    EXPECT_EQ(fault_message([&] { run(st, layers, 2147483647, 7.0f, 20.0f); }),
              "ray type 2147483647 needs 8589934587 legs, more than the 1048576 a ray may have");
    EXPECT_EQ(fault_message([&] { run(st, layers, 2147483646, 7.0f, 20.0f); }),
              "ray type 2147483646 needs 8589934582 legs, more than the 1048576 a ray may have");
    // The state stays usable for the next ray.
    run(st, layers, 3, 7.0f, 20.0f);
    EXPECT_EQ(st.legs, (Legs{3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1}));
}

TEST(RayPaths, DescentAndCountsByMode) {
    // Without a zero-thickness layer the descent ends at the bound.
    const auto layers = model({{1.0, 3.0, 1.8, 40.0f},
                               {2.0, 4.5, 2.6, 80.0f},
                               {3.0, 5.8, 3.3, 150.0f},
                               {4.0, 6.4, 3.7, 250.0f}});
    RayState st;
    EXPECT_EQ(st.descend_to_moho(WaveMode::Compressional, layers, 1, 3), 3u);
    EXPECT_EQ(st.legs, (Legs{1, 2}));
    EXPECT_EQ(st.descend_to_moho(WaveMode::Compressional, layers, 5, 3), 5u);
    EXPECT_EQ(st.legs.size(), 2u);
    // Past the last layer: the descent stops the call.
    RayPath path;
    EXPECT_EQ(fault_message([&] { path.descend_to_moho(WaveMode::Shear, layers, 1, 9); }),
              "index out of bounds: the len is 4 but the index is 4");

    // A P wave down to the bottom of layer 2, converted there, S back up.
    st.legs = {1, 2, 2, 1};
    st.modes = {WaveMode::Compressional, WaveMode::Compressional, WaveMode::Shear,
                WaveMode::Shear};
    build_ray_path(st, layers, 1.5, 1.0);
    EXPECT_EQ(st.mode_flag, 1u);  // first leg compressional
    EXPECT_EQ(st.first_down, 1);
    EXPECT_EQ(st.down, (Flags{1, 1, 0, 0}));
    EXPECT_EQ(st.turns, (Flags{0, 1, 0, 0}));
    EXPECT_EQ(st.travel.p_counts, (std::vector<float>{0, 0.75f, 1, 0}));  // source mid-layer 1
    EXPECT_EQ(st.travel.s_counts, (std::vector<float>{0, 1, 1, 0}));
    st.start_sign = -1;  // several legs: forced upward
    build_ray_path(st, layers, 1.5, 1.0);
    EXPECT_EQ(st.down, (Flags{0, 0, 1, 1}));
    EXPECT_EQ(st.travel.p_counts[1], 0.25f);
}

TEST(RayPaths, StateIsReusedWithoutReallocation) {
    const auto layers = crust();
    RayState st;
    run(st, layers, 9, 12.0f, 30.0f);  // the longest path of the set
    const auto* legs = st.legs.data();
    const auto* turns = st.turns.data();
    const auto* counts = st.travel.s_counts.data();
    for (std::int32_t code = 1; code <= 9; ++code) {
        run(st, layers, code, code % 2 == 0 ? 7.0f : 12.0f, 30.0f);
        EXPECT_EQ(st.legs.data(), legs);
        EXPECT_EQ(st.turns.data(), turns);
        EXPECT_EQ(st.travel.s_counts.data(), counts);
    }
}

TEST(VerticalSlowness, BranchesAndRoots) {
    const double v = 2.0;
    EXPECT_DOUBLE_EQ(vertical_slowness(v, 0.3).real(), std::sqrt(0.25 - 0.09));
    EXPECT_EQ(vertical_slowness(v, 0.3).imag(), 0.0);
    const auto evanescent = vertical_slowness(v, 0.6);
    EXPECT_DOUBLE_EQ(evanescent.imag(), -std::sqrt(0.36 - 0.25));
    EXPECT_LE(evanescent.real(), 0.0);
    EXPECT_LT(std::fabs(evanescent.real()), 1e-16);
    for (const std::complex<double> p : {std::complex<double>{0.3, 0.01},
                                         std::complex<double>{0.6, 0.02},
                                         std::complex<double>{0.45, -0.1}}) {
        const auto e = vertical_slowness(v, p);
        const auto want = 1.0 / (v * v) - p * p;
        EXPECT_NEAR((e * e).real(), want.real(), 1e-12);
        EXPECT_NEAR((e * e).imag(), want.imag(), 1e-12);
        EXPECT_LE(e.imag(), 0.0);  // the decaying branch
    }
}

TEST(RayParameter, OneLegDirectRayClosedForm) {
    const auto layers = crust();
    RayState st;
    const float r = 10.0f;
    const GreenResult g = run(st, layers, 1, 1.5f, r);
    const StationaryRay s = stationary_ray_parameter(st, layers, 10.0);
    const double n = static_cast<double>(st.travel.s_counts[1]);
    const double h = 2.0;
    const double vs = 2.0;
    const double eta = std::sqrt(1.0 / (vs * vs) - s.p_s_km * s.p_s_km);
    const double dtdp = 10.0 - s.p_s_km * n * h / eta;
    EXPECT_NEAR(cagniard_time_derivative(st, layers, s.p_s_km, 10.0).real(), dtdp, 1e-9);
    EXPECT_LE(std::fabs(dtdp), 0.01);
    EXPECT_NEAR(s.t_s, s.p_s_km * 10.0 + n * h * eta, 1e-12);
    // Stationary Cagniard time = straight-ray time.
    EXPECT_NEAR(s.t_s, std::hypot(10.0, n * h) / vs, 1e-4);
    EXPECT_EQ(g.ray_parameter_s_km, static_cast<float>(s.p_s_km));
    EXPECT_EQ(g.travel_time_s, static_cast<float>(s.t_s));
}

TEST(RayParameter, SearchEndsStationaryPinnedOrExhausted) {
    const auto layers = crust();
    RayState st;
    int exhausted = 0;
    int pinned = 0;
    for (std::int32_t code : {1, 2, 3, 4, 5}) {
        for (float depth : {1.5f, 7.0f, 12.0f}) {
            for (float r : {0.0f, 1.0f, 8.0f, 40.0f, 150.0f, 600.0f, 3000.0f, 40000.0f}) {
                const GreenResult g = run(st, layers, code, depth, r);
                const double rd = static_cast<double>(r);
                const StationaryRay s = stationary_ray_parameter(st, layers, rd);
                EXPECT_EQ(g.travel_time_s,
                          static_cast<float>(cagniard_time(st, layers, s.p_s_km, rd).real()));
                double vmax = 0.0;
                for (std::size_t i = 0; i <= st.deepest; ++i) {
                    if (st.travel.s_counts[i] > 0.0f) vmax = std::max(vmax, layers[i].vsh_km_s);
                }
                const double p_hi = 1.0 / vmax - 1e-9;
                const double d = cagniard_time_derivative(st, layers, s.p_s_km, rd).real();
                if (s.p_s_km == p_hi) {
                    ++pinned;
                    EXPECT_GE(d, 0.0);
                } else if (!(std::fabs(d) <= 0.01)) {
                    // 40 midpoints used: the root lies within the last bracket.
                    ++exhausted;
                    const double w = p_hi * std::ldexp(1.0, -39);
                    const double below =
                        cagniard_time_derivative(st, layers, s.p_s_km - w, rd).real();
                    const double above =
                        cagniard_time_derivative(st, layers, s.p_s_km + w, rd).real();
                    EXPECT_GE(below, 0.0);
                    EXPECT_LE(above, 0.0);
                }
                EXPECT_GE(s.p_s_km, 0.0);
                EXPECT_LE(s.p_s_km, p_hi);
            }
        }
    }
    EXPECT_GT(pinned, 0);
    EXPECT_GT(exhausted, 0);
}

TEST(RayParameter, PinnedBeyondTheCriticalDistance) {
    const auto layers = crust();
    RayState st;
    run(st, layers, 1, 0.06f, 5000.0f);  // 0.04 km of layer 1 crossed
    const StationaryRay s = stationary_ray_parameter(st, layers, 5000.0);
    EXPECT_EQ(s.p_s_km, 1.0 / 2.0 - 1e-9);
    EXPECT_GE(cagniard_time_derivative(st, layers, s.p_s_km, 5000.0).real(), 0.0);
    // Above 1/v the travel time turns complex; only its real part is used.
    EXPECT_NE(cagniard_time(st, layers, 0.6, 10.0).imag(), 0.0);
    EXPECT_EQ(s.t_s, cagniard_time(st, layers, s.p_s_km, 5000.0).real());
}

TEST(Spreading, LengthAndAttenuation) {
    const auto layers = crust();
    RayState st;
    const GreenResult g = run(st, layers, 1, 7.0f, 20.0f);
    const double p = stationary_ray_parameter(st, layers, 20.0).p_s_km;
    const Spreading s = geometric_spreading(st, layers, false, 7.0, p);
    auto leg = [&](std::size_t i, double dz) {
        return dz / std::sqrt(1.0 - std::pow(p * layers[i].vsh_km_s, 2));
    };
    // The first leg is measured from the tops summed below the air layer.
    const double l3 = leg(3, 7.0 - 5.0);
    const double l2 = leg(2, 3.0);
    const double l1 = leg(1, 2.0);
    EXPECT_NEAR(s.length_km, l3 + l2 + l1, 1e-9);
    EXPECT_EQ(g.path_length_km, static_cast<float>(s.length_km));
    const double tstar = l3 / (3.5 * 200.0) + l2 / (2.9 * 100.0) + l1 / (2.0 * 50.0);
    EXPECT_NEAR(s.t_star_s, tstar, 1e-6 * tstar);
    EXPECT_EQ(g.t_star_s, s.t_star_s);

    // Downward first leg: from the source to the bottom of its layer.
    run(st, layers, 2, 7.0f, 20.0f);
    const Spreading d = geometric_spreading(st, layers, true, 7.0, 0.0);
    EXPECT_NEAR(d.length_km, (10.0 - 7.0) + 10.0 + 10.0 + 5.0 + 3.0 + 2.0, 1e-9);
}

TEST(Spreading, GrazingLegAndZeroLength) {
    const auto layers = crust();
    RayState st;
    st.legs = {1};
    st.modes = {WaveMode::Shear};
    // p vs = 2 in layer 1: clamped to sin i = 0.999999 (f32).
    const Spreading g = geometric_spreading(st, layers, false, 0.5, 1.0);
    EXPECT_TRUE(std::isfinite(g.length_km));
    EXPECT_NEAR(g.length_km / 0.5, 702.4, 0.1);
    const double c = std::sqrt(1.0 - 0.9999989867210388 * 0.9999989867210388);
    EXPECT_EQ(g.length_km, 0.5 * (1.0 / c));

    // A downward first leg starting at its layer bottom has length 0.
    const Spreading z = geometric_spreading(st, layers, true, 2.0, 0.1);
    EXPECT_EQ(z.length_km, static_cast<double>(0.001f));
    EXPECT_EQ(z.t_star_s, 0.0f);

    st.legs = {0, 1};
    st.modes = {WaveMode::Shear, WaveMode::Shear};
    EXPECT_NE(fault_message([&] { geometric_spreading(st, layers, true, 0.0, 0.1); }),
              "<no fault>");
    st.legs = {};
    EXPECT_NE(fault_message([&] { geometric_spreading(st, layers, true, 0.0, 0.1); }),
              "<no fault>");
    RayState fresh;  // no counts yet: deepest 0 is not below their length
    EXPECT_NE(fault_message([&] { stationary_ray_parameter(fresh, layers, 1.0); }),
              "<no fault>");
}
