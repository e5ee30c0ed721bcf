// The site gain curve and the stops of the site steps; the quarter-wavelength
// arithmetic is pinned end to end by the reference record of run_test.
#include "korvane/site.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <vector>

#include "kit.hpp"


using namespace korvane;
using namespace korvane::site;
using korvane::testing::fault_message;

namespace {

// Air, 1 km at 2 km/s, 2 km at 3 km/s, the half-space at 3.5 km/s.
const std::vector<state::RayLayer> kLayers = korvane::testing::ray_layers(
    {{0.0001, 0.001, 0.001, 0.001}, {1.0, 3.5, 2.0, 2.2}, {2.0, 5.2, 3.0, 2.5}, {0.0, 6.0, 3.5, 2.7}});

}  // namespace

// Linear in the table between its points, flat beyond both ends; the two end
// bins come from the table ends whatever the grid holds there; a grid value
// below the previous one is evaluated on the current segment.
TEST(SiteGainCurve, InterpolatesAndExtrapolates) {
    const std::vector<float> xs{1.0f, 2.0f, 3.0f}, ys{0.1f, 0.5f, 0.3f};
    const struct { std::vector<float> grid, ln_gain; } rows[] = {
        {{5.0f, -3.0f, 0.0f, 0.5f, 9.0f}, {0.1f, 0.1f, 0.1f, 0.1f, 0.3f}},
        {{-9.0f, 4.0f, 5.0f, 6.0f, -9.0f}, {0.1f, 0.3f, 0.3f, 0.3f, 0.3f}},
        {{-1.0f, 1.0f, 2.0f, 2.5f, 1.5f, 2.75f, 3.0f}, {0.1f, 0.1f, 0.5f, 0.4f, 0.6f, 0.35f, 0.3f}},
        {{0.0f, 1.5f}, {0.1f, 0.3f}},
        {{0.0f}, {0.3f}},
    };
    for (const auto& row : rows) {
        std::vector<float> out(row.ln_gain.size());
        site_gain_curve(row.grid, xs, ys, out);
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_NEAR(std::log(out[i]), row.ln_gain[i], 1e-6f) << "grid of " << row.grid.size() << ", bin " << i;
        }
    }
    std::vector<float> flat(4);  // a one-point table is flat everywhere
    site_gain_curve(std::vector<float>{-1.0f, 0.0f, 2.0f, 5.0f}, std::vector<float>{1.0f},
                    std::vector<float>{0.2f}, flat);
    EXPECT_EQ(flat, std::vector<float>(4, std::exp(0.2f)));
}

TEST(Site, Stops) {
    std::vector<float> one(1), two(2), four(4), none;
    const std::vector<float> xs{0.0f, 1.0f}, low{std::log(0.01f)};
    const std::vector<state::RayLayer> air_only(kLayers.begin(), kLayers.begin() + 1);
    std::vector<std::complex<float>> spectrum(8), empty, odd(7);
    const struct { std::function<void()> call; const char* message; } rows[] = {
        {[&] { site_amplification_factors(kLayers, 4, xs, two); },
         "index out of bounds: the len is 4 but the index is 4"},
        {[&] { site_amplification_factors(kLayers, 3, xs, one); }, "assertion failed: part.equal_dim(dimension)"},
        {[&] { site_amplification_factors(air_only, 0, xs, two); },
         "index out of bounds: the len is 1 but the index is 1"},
        // Reference layer 0 never bounds the walk: a long period runs off the end.
        {[&] { site_amplification_factors(kLayers, 0, low, one); },
         "index out of bounds: the len is 4 but the index is 4"},
        {[&] { site_gain_curve(xs, xs, xs, none); }, "attempt to subtract with overflow"},
        {[&] { site_gain_curve(xs, xs, none, four); }, "index out of bounds: the len is 0 but the index is 0"},
        {[&] { site_gain_curve(xs, xs, xs, four); }, "index out of bounds: the len is 2 but the index is 2"},
        {[&] { apply_site_amplification(spectrum, four); },
         "a gain curve covers the positive half plus Nyquist, 5 bins for a 8-point transform"},
        {[&] { apply_site_amplification(empty, one); }, "index out of bounds: the len is 0 but the index is 0"},
        {[&] { apply_site_amplification(odd, four); }, "assertion failed: part.equal_dim(dimension)"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(fault_message(rows[i].call), rows[i].message) << "row " << i;
}
