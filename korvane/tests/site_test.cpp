#include "korvane/site.hpp"

#include <gtest/gtest.h>

#include "kit.hpp"

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "korvane/fault.hpp"

// Reference values are computed in double from f32 inputs.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

using namespace korvane;
using namespace korvane::site;
using korvane::state::RayLayer;

using korvane::testing::fault_message;

namespace {

RayLayer layer(double h, double vs, double rho) {
    RayLayer l;
    l.thickness_km = h;
    l.vsh_km_s = vs;
    l.density_g_cm3 = rho;
    l.vp_km_s = vs * 1.73;
    return l;
}

// Air, two crustal layers, half-space.
std::vector<RayLayer> model() {
    return {layer(0.0001, 0.001, 0.001), layer(1.0, 2.0, 2.2), layer(2.0, 3.0, 2.5),
            layer(0.0, 3.5, 2.7)};
}

std::vector<float> log_freqs(std::initializer_list<float> f) {
    std::vector<float> out;
    for (float x : f) out.push_back(std::log(x));
    return out;
}

}  // namespace

TEST(SiteFactors, ThickTopLayerAndReferenceLayerOne) {
    const auto layers = model();
    const auto ln_f = log_freqs({10.0f, 20.0f});  // quarter periods 0.025 s, 0.0125 s < 0.5 s
    std::vector<float> out(2);
    site_amplification_factors(layers, 3, ln_f, out);
    const double want = 0.5 * std::log((3.5 * 2.7) / (2.0 * 2.2));
    EXPECT_NEAR(out[0], want, 1e-6);
    EXPECT_NEAR(out[1], want, 1e-6);

    // Reference layer 1: layer 1 takes every quarter period, however long.
    const auto wide = log_freqs({0.01f, 0.1f, 1.0f, 10.0f, 70.0f});
    std::vector<float> zero(wide.size());
    site_amplification_factors(layers, 1, wide, zero);
    for (float z : zero) EXPECT_NEAR(z, 0.0f, 1e-6f);
}

TEST(SiteFactors, WalkAveragesDownToTheQuarterPeriod) {
    const auto layers = model();
    // f = 0.5 Hz: T = 0.5 s; layer 1 takes exactly 0.5 s, t >= T stops at k = 1.
    // f = 0.3 Hz: T = 0.8333 s; 0.5 s in layer 1, the rest in layer 2.
    // f = 0.1 Hz: T = 2.5 s; layers 1 and 2 (1.1667 s), the rest in the half-space.
    const auto ln_f = log_freqs({0.3f, 0.1f});
    std::vector<float> out(2);
    site_amplification_factors(layers, 3, ln_f, out);
    const double z_ref = 3.5 * 2.7;
    auto expect = [&](double t_q, double sum_h, double sum_rt, double t_prev, double v, double rho) {
        const double rest = t_q - t_prev;
        const double vb = (sum_h + rest * v) / t_q;
        const double rb = (sum_rt + rest * rho) / t_q;
        return 0.5 * std::log(z_ref / (vb * rb));
    };
    const double t03 = 0.25 / static_cast<double>(std::exp(std::log(0.3f)));
    const double t01 = 0.25 / static_cast<double>(std::exp(std::log(0.1f)));
    EXPECT_NEAR(out[0], expect(t03, 1.0, 1.1, 0.5, 3.0, 2.5), 2e-6);
    EXPECT_NEAR(out[1], expect(t01, 3.0, 1.1 + 2.5 * 2.0 / 3.0, 0.5 + 2.0 / 3.0, 3.5, 2.7), 2e-6);

    // Reference layer 2: the walk stops there and layer 2 takes the rest.
    site_amplification_factors(layers, 2, ln_f, out);
    const double z2 = 3.0 * 2.5;
    const double rest = t01 - 0.5;
    EXPECT_NEAR(out[1], 0.5 * std::log(z2 / (((1.0 + rest * 3.0) / t01) * ((1.1 + rest * 2.5) / t01))),
                2e-6);
}

TEST(SiteFactors, DependsOnlyOnLayersOneToReference) {
    const auto ln_f = log_freqs({0.01f, 0.05f, 0.2f, 1.0f, 5.0f, 50.0f});
    auto layers = model();
    layers.insert(layers.begin() + 3, layer(5.0, 3.2, 2.6));  // ref layer 3, then half-space
    std::vector<float> a(ln_f.size()), b(ln_f.size());
    site_amplification_factors(layers, 3, ln_f, a);
    layers[0] = layer(0.5, 0.2, 1.0);
    layers[4] = layer(0.0, 4.5, 3.1);
    site_amplification_factors(layers, 3, ln_f, b);
    EXPECT_EQ(a, b);
}

TEST(SiteFactors, Stops) {
    const auto layers = model();
    const auto ln_f = log_freqs({1.0f});
    std::vector<float> out(1);
    EXPECT_EQ(fault_message([&] { site_amplification_factors(layers, 4, ln_f, out); }),
              "index out of bounds: the len is 4 but the index is 4");
    std::vector<float> two(2);
    EXPECT_EQ(fault_message([&] { site_amplification_factors(layers, 3, ln_f, two); }),
              "assertion failed: part.equal_dim(dimension)");
    const std::vector<RayLayer> air_only{layer(1.0, 1.0, 1.0)};
    EXPECT_EQ(fault_message([&] { site_amplification_factors(air_only, 0, ln_f, out); }),
              "index out of bounds: the len is 1 but the index is 1");
    // Reference layer 0 never bounds the walk: a long period runs off the end.
    const auto low = log_freqs({0.01f});
    EXPECT_EQ(fault_message([&] { site_amplification_factors(layers, 0, low, out); }),
              "index out of bounds: the len is 4 but the index is 4");
}

TEST(SiteGainCurve, EndsInterpolationAndExtrapolation) {
    // xs[0] away from 0: the flat first segment runs from x = 0 to xs[0].
    const std::vector<float> xs{1.0f, 2.0f, 3.0f};
    const std::vector<float> ys{0.1f, 0.5f, 0.3f};
    std::vector<float> out(5);

    const std::vector<float> below{5.0f, -3.0f, 0.0f, 0.5f, 9.0f};
    site_gain_curve(below, xs, ys, out);
    EXPECT_EQ(out, (std::vector<float>{std::exp(0.1f), std::exp(0.1f), std::exp(0.1f),
                                       std::exp(0.1f), std::exp(0.3f)}));
    const std::vector<float> above{-9.0f, 4.0f, 5.0f, 6.0f, -9.0f};
    site_gain_curve(above, xs, ys, out);
    EXPECT_EQ(out, (std::vector<float>{std::exp(0.1f), std::exp(0.3f), std::exp(0.3f),
                                       std::exp(0.3f), std::exp(0.3f)}));

    // Table points, a midpoint, and a step back evaluated on the current segment.
    const std::vector<float> grid{-1.0f, 2.0f, 2.5f, 1.5f, 3.0f};
    site_gain_curve(grid, xs, ys, out);
    EXPECT_FLOAT_EQ(out[1], std::exp(0.5f));
    EXPECT_FLOAT_EQ(out[2], std::exp(0.4f));
    EXPECT_FLOAT_EQ(out[3], std::exp(0.6f));  // (1.5 - 2) * (0.3 - 0.5) / 1 + 0.5

    std::vector<float> one(1), two(2);
    site_gain_curve(std::vector<float>{}, xs, ys, one);
    EXPECT_EQ(one[0], std::exp(0.3f));
    site_gain_curve(std::vector<float>{}, xs, ys, two);
    EXPECT_EQ(two, (std::vector<float>{std::exp(0.1f), std::exp(0.3f)}));
}

TEST(SiteGainCurve, Stops) {
    const std::vector<float> xs{0.0f, 1.0f};
    const std::vector<float> ys{0.1f, 0.5f};
    std::vector<float> none, out(4);
    EXPECT_EQ(fault_message([&] { site_gain_curve(xs, xs, ys, none); }),
              "attempt to subtract with overflow");
    EXPECT_EQ(fault_message([&] { site_gain_curve(xs, xs, std::vector<float>{}, out); }),
              "index out of bounds: the len is 0 but the index is 0");
    EXPECT_EQ(fault_message([&] { site_gain_curve(std::vector<float>{0.0f, 0.5f}, xs, ys, out); }),
              "index out of bounds: the len is 2 but the index is 2");
}

TEST(ApplySite, GainsAndConjugateMirror) {
    std::vector<std::complex<float>> s(8);
    for (std::size_t k = 0; k < 8; ++k) s[k] = {static_cast<float>(k) + 1.0f, 0.5f * static_cast<float>(k)};
    const std::vector<float> four(4, 1.0f);
    EXPECT_EQ(fault_message([&] { apply_site_amplification(s, four); }),
              "a gain curve covers the positive half plus Nyquist, 5 bins for a 8-point transform");

    const std::vector<float> gains{2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
    apply_site_amplification(s, gains);
    for (std::size_t k = 0; k <= 4; ++k) {
        EXPECT_EQ(s[k], std::complex<float>((static_cast<float>(k) + 1.0f) * gains[k],
                                            0.5f * static_cast<float>(k) * gains[k]));
    }
    EXPECT_EQ(s[5], std::conj(s[3]));
    EXPECT_EQ(s[6], std::conj(s[2]));
    EXPECT_EQ(s[7], std::conj(s[1]));

    std::vector<std::complex<float>> empty;
    EXPECT_EQ(fault_message([&] { apply_site_amplification(empty, std::vector<float>{1.0f}); }),
              "index out of bounds: the len is 0 but the index is 0");
    std::vector<std::complex<float>> odd(7);
    EXPECT_EQ(fault_message([&] { apply_site_amplification(odd, four); }),
              "assertion failed: part.equal_dim(dimension)");
}
