#include "korvane/geom.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "kit.hpp"

using namespace korvane::geom;
using namespace korvane::testing;

static SegmentGeometry geometry(const SegmentSpec& s) { return segment_geometry(make_segment(s)); }

// Subfault centres placed by the flat step (good to ~1e-4 of the offset), seen
// from a station; on the equator and along meridians the azimuths are exact.
TEST(Geometry, SubfaultPositionsSeenFromAStation) {
    const struct {  // top at 2 km
        const char* name;
        std::size_t n_along, n_down;
        float length, width, strike, dip, lat0, lon0, st_lat, st_lon;
        std::size_t i, j;
        double rh_km, az_deg, z_km;
    } rows[] = {
        {"flat, 10 km east", 1, 1, 2, 20, 0, 0, 0, 10, 0, 10, 1, 1, 10, 270, 2},
        {"strike 360 x 2^119, beyond FLT_MAX / pi", 1, 1, 2, 20, 0x1.68p127f, 0, 0, 10, 0, 10, 1, 1, 10, 270, 2},
        {"flat, 10 km south", 1, 1, 2, 20, 90, 0, 45, 10, 45, 10, 1, 1, 10, 0, 2},
        {"dip 30 south, row 2", 1, 2, 2, 4, 90, 30, 45, 10, 45, 10, 1, 2, 6 * std::sqrt(0.75), 0, 5},
        {"column 1, 10 km south", 3, 1, 10, 2, 0, 90, 45, 10, 45, 10, 1, 1, 10, 0, 3},
        {"column 3, 10 km towards the pole", 3, 1, 10, 2, 0, 90, 89.5f, 10, 89.5f, 10, 3, 1, 10, 180, 3},
        {"column 1, 10 km towards the pole", 3, 1, 10, 2, 0, 90, -89.5f, 10, -89.5f, 10, 1, 1, 10, 0, 3},
        {"1 degree of the equator", 1, 1, 2, 2, 0, 90, 0, 0, 0, 1, 1, 1, 111.31949079327357, 90, 3},
        {"JFK to LHR", 1, 1, 2, 2, 0, 90, 40.6f, -73.8f, 51.6f, -0.5f, 1, 1, 5551.7594, NAN, 3},
    };
    for (const auto& r : rows) {
        const SegmentSpec seg{.n_along = r.n_along, .n_down = r.n_down, .longitude_deg = r.lon0, .latitude_deg = r.lat0,
                              .length_km = r.length, .width_km = r.width, .strike_deg = r.strike, .dip_deg = r.dip};
        const GeometryGrid grid = subfault_geometry(geometry(seg), r.st_lat, r.st_lon);
        const SubfaultGeometry& s = grid.at(r.i, r.j);
        const double tol = 2e-4 + r.rh_km * (r.rh_km < 20 ? 2e-4 : 1e-6);
        EXPECT_NEAR(s.epicentral_distance_km, r.rh_km, tol) << r.name;
        EXPECT_NEAR(s.hypocentral_distance_km, std::hypot(r.rh_km, r.z_km), tol) << r.name;
        EXPECT_NEAR(s.depth_km, r.z_km, 1e-5) << r.name;
        EXPECT_NEAR(s.takeoff_rad, std::numbers::pi - std::atan2(r.rh_km, r.z_km), 1e-4) << r.name;
        const double az = static_cast<double>(s.azimuth_rad) * 180 / std::numbers::pi;
        EXPECT_NEAR(az, std::isnan(r.az_deg) ? az : r.az_deg, 1e-4) << r.name;  // NaN: any azimuth
        EXPECT_TRUE(az >= 0 && az < 360) << r.name << ": azimuth " << az << " outside [0, 360)";
    }
}

TEST(Geometry, AzimuthNormalisationGridAndStops) {
    for (auto [in, want] : {std::pair{-90.0, 270.0f}, {-1e-12, 0.0f},
                            {359.99998474121094, 0.0f}, {359.9999847, 359.99997f}}) {
        EXPECT_EQ(detail::normalise_azimuth_deg(in), want) << in;
    }
    const GeometryGrid g = subfault_geometry(geometry({.n_along = 3, .n_down = 2}), 46.0f, 11.0f);
    ASSERT_EQ(g.records.size(), 6u);
    EXPECT_EQ(std::pair(&g.at(2, 1), &g.at(3, 2)), std::pair(&g.records[1], &g.records[5]));
    for (auto [i, j] : {std::pair{4u, 1u}, {0u, 1u}, {1u, 0u}, {1u, 3u}}) {
        const std::string cell = "subfault (" + std::to_string(i) + "," + std::to_string(j) + ")";
        EXPECT_EQ(fault_message([&] { g.at(i, j); }), cell + " is outside the 3x2 grid");
    }
    EXPECT_EQ(fault_message([] { subfault_geometry(SegmentGeometry{}, 1.0f, 1.0f); }), "chunk size must be non-zero");
}
