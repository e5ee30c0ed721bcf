#include "korvane/geom.hpp"

#include <GeographicLib/Geodesic.hpp>
#include <gtest/gtest.h>

#include "kit.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "korvane/fault.hpp"

using namespace korvane;
using namespace korvane::geom;

using korvane::testing::fault_message;

namespace {

constexpr float kPiF = 3.14159265358979323846f;

SegmentGeometry make_segment(float lat, float lon, std::size_t n_along, std::size_t n_down,
                             float strike, float dip, float top, float L, float W) {
    SegmentGeometry g;
    g.latitude_deg = lat;
    g.longitude_deg = lon;
    g.n_along = n_along;
    g.n_down = n_down;
    g.strike_deg = strike;
    g.dip_deg = dip;
    g.top_depth_km = top;
    g.half_length = (static_cast<float>(n_along) * 0.5f) * L;
    g.subfault_length_km = L;
    g.subfault_width_km = W;
    return g;
}

// A 1x1 vertical fault striking north: its surface point is the origin
// itself (the f32 cos(90 deg) offset is far below one ulp of the longitude).
SegmentGeometry point_source(float lat, float lon) {
    return make_segment(lat, lon, 1, 1, 0.0f, 90.0f, 1.0f, 2.0f, 2.0f);
}

}  // namespace

TEST(Geometry, StationAtSurfacePointLooksStraightUp) {
    const GeometryGrid g = subfault_geometry(point_source(45.0f, 10.0f), 45.0f, 10.0f);
    ASSERT_EQ(g.records.size(), 1u);
    const SubfaultGeometry& r = g.at(1, 1);
    EXPECT_EQ(r.epicentral_distance_km, 0.0f);
    EXPECT_EQ(r.hypocentral_distance_km, r.depth_km);
    EXPECT_EQ(r.takeoff_rad, kPiF);
    EXPECT_NEAR(r.depth_km, 2.0f, 1e-6f);  // top 1 + W/2 on a vertical fault
}

TEST(Geometry, SingleSubfaultAtOriginHalfWidthDownDip) {
    // Strike east, dip 30: the down-dip direction is south, so the centre lies
    // (W/2) cos(dip) due south of the origin, (W/2) sin(dip) below the top.
    const auto seg = make_segment(35.0f, 139.0f, 1, 1, 90.0f, 30.0f, 2.0f, 3.0f, 4.0f);
    const GeometryGrid g = subfault_geometry(seg, 35.0f, 139.0f);
    const SubfaultGeometry& r = g.at(1, 1);
    EXPECT_NEAR(r.depth_km, 2.0 + 2.0 * std::sin(M_PI / 6), 1e-6);
    // f32 latitudes near 35 deg step by 3.8e-6 deg (0.42 m).
    EXPECT_NEAR(r.epicentral_distance_km, 2.0 * std::cos(M_PI / 6), 5e-4);
    EXPECT_NEAR(std::sin(r.azimuth_rad), 0.0, 1e-6);  // looking due north
    EXPECT_NEAR(std::cos(r.azimuth_rad), 1.0, 1e-6);
    EXPECT_NEAR(r.takeoff_rad, kPiF - std::atan2(r.epicentral_distance_km, r.depth_km), 1e-6f);
    EXPECT_NEAR(r.hypocentral_distance_km, std::hypot(r.epicentral_distance_km, r.depth_km), 1e-5);
}

TEST(Geometry, ColumnsSymmetricAboutOrigin) {
    // On the equator with strike north, columns i and n-1-i sit at mirrored
    // latitudes; a station due east of the origin sees them alike.
    const auto seg = make_segment(0.0f, 20.0f, 4, 2, 0.0f, 45.0f, 1.0f, 3.0f, 2.0f);
    const GeometryGrid g = subfault_geometry(seg, 0.0f, 20.5f);
    ASSERT_EQ(g.records.size(), 8u);
    for (std::size_t j = 1; j <= 2; ++j) {
        for (std::size_t i = 1; i <= 2; ++i) {
            const SubfaultGeometry& a = g.at(i, j);
            const SubfaultGeometry& b = g.at(5 - i, j);
            EXPECT_NEAR(a.epicentral_distance_km, b.epicentral_distance_km, 1e-5);
            EXPECT_NEAR(a.azimuth_rad + b.azimuth_rad, M_PI, 1e-6);
            EXPECT_EQ(a.depth_km, b.depth_km);
            EXPECT_NE(a.azimuth_rad, b.azimuth_rad);
        }
    }
    EXPECT_GT(g.at(1, 2).depth_km, g.at(1, 1).depth_km);
    // Dipping east, the deeper row lies nearer the station.
    EXPECT_LT(g.at(1, 2).epicentral_distance_km, g.at(1, 1).epicentral_distance_km);
}

TEST(Geometry, AzimuthsStayInRange) {
    const float two_pi = 6.2831855f;
    EXPECT_EQ(detail::normalise_azimuth_deg(-90.0), 270.0f);
    EXPECT_EQ(detail::normalise_azimuth_deg(-1e-12), 0.0f);
    EXPECT_EQ(detail::normalise_azimuth_deg(359.99998474121094), 0.0f);
    EXPECT_EQ(detail::normalise_azimuth_deg(359.9999847), 359.99997f);
    EXPECT_LT(detail::normalise_azimuth_deg(359.9999847) * 0.017453292f, two_pi);
    EXPECT_TRUE(std::isnan(detail::normalise_azimuth_deg(std::nan(""))));

    // A vertical fault striking north: every subfault lies on the origin's
    // meridian, so stations due north and south give azimuths of exactly 0
    // and pi; a ring of stations covers every other direction.
    const auto seg = make_segment(10.0f, 20.0f, 3, 3, 0.0f, 90.0f, 0.5f, 2.0f, 2.0f);
    std::vector<std::pair<float, float>> stations = {{11.0f, 20.0f}, {9.0f, 20.0f},
                                                     {10.0f, 20.0f}, {10.0f, 21.0f}};
    const auto& wgs = GeographicLib::Geodesic::WGS84();
    for (int k = 0; k < 360; k += 5) {
        double lat = 0.0;
        double lon = 0.0;
        wgs.Direct(10.0, 20.0, static_cast<double>(k) - 0.0000001, 30000.0, lat, lon);
        stations.emplace_back(static_cast<float>(lat), static_cast<float>(lon));
    }
    for (const auto& [lat, lon] : stations) {
        const GeometryGrid g = subfault_geometry(seg, lat, lon);
        for (const SubfaultGeometry& r : g.records) {
            EXPECT_GE(r.azimuth_rad, 0.0f);
            EXPECT_LT(r.azimuth_rad, two_pi);
        }
        // Rows of one column share their surface point.
        for (std::size_t i = 1; i <= 3; ++i) {
            EXPECT_EQ(g.at(i, 1).epicentral_distance_km, g.at(i, 3).epicentral_distance_km);
        }
    }
    const GeometryGrid north = subfault_geometry(seg, 11.0f, 20.0f);
    EXPECT_EQ(north.at(2, 1).azimuth_rad, 0.0f);
    const GeometryGrid south = subfault_geometry(seg, 9.0f, 20.0f);
    EXPECT_NEAR(south.at(2, 1).azimuth_rad, M_PI, 1e-6);
}

TEST(Geometry, DistancesMatchGeographicLib) {
    struct Pair {
        float lat1, lon1, lat2, lon2;
        double km;  // published geodesic distance of the exact coordinates
        double tol_km;
    };
    const Pair pairs[] = {
        {0.0f, 0.0f, 0.0f, 1.0f, 111.31949079327357, 1e-4},  // 1 deg on the equator = a pi/180
        {40.6f, -73.8f, 51.6f, -0.5f, 5551.759400, 2e-3},       // JFK -> LHR
        {-33.9f, 151.2f, 37.6f, -122.4f, 0.0, 0.0},             // long Pacific line
    };
    const auto& wgs = GeographicLib::Geodesic::WGS84();
    for (const Pair& p : pairs) {
        const GeometryGrid g = subfault_geometry(point_source(p.lat1, p.lon1), p.lat2, p.lon2);
        const SubfaultGeometry& r = g.at(1, 1);
        double s12 = 0.0;
        double azi1 = 0.0;
        double azi2 = 0.0;
        wgs.Inverse(static_cast<double>(p.lat1), static_cast<double>(p.lon1),
                    static_cast<double>(p.lat2), static_cast<double>(p.lon2), s12, azi1, azi2);
        EXPECT_EQ(r.epicentral_distance_km, static_cast<float>(s12 / 1000.0));
        if (azi1 < 0) azi1 += 360.0;
        EXPECT_EQ(r.azimuth_rad, static_cast<float>(azi1) * 0.017453292f);
        if (p.km > 0) {
            EXPECT_NEAR(r.epicentral_distance_km, p.km, p.tol_km);
        }
    }
}

TEST(Geometry, EmptyAndDegenerateGrids) {
    const GeometryGrid empty =
        subfault_geometry(make_segment(0, 0, 3, 0, 0, 45, 1, 1, 1), 1.0f, 1.0f);
    EXPECT_TRUE(empty.records.empty());
    EXPECT_EQ(empty.n_along, 3u);
    EXPECT_EQ(empty.n_down, 0u);
    for (std::size_t n_down : {0u, 5u}) {
        EXPECT_EQ(fault_message([&] {
                      subfault_geometry(make_segment(0, 0, 0, n_down, 0, 45, 1, 1, 1), 1.0f,
                                        1.0f);
                  }),
                  "chunk size must be non-zero");
    }
    EXPECT_EQ(fault_message([] {
                  subfault_geometry(make_segment(0, 0, std::numeric_limits<std::size_t>::max(), 2,
                                                 0, 45, 1, 1, 1),
                                    1.0f, 1.0f);
              }),
              "attempt to multiply with overflow");
}

TEST(Geometry, AccessorIsOneBasedAndChecked) {
    const GeometryGrid g =
        subfault_geometry(make_segment(30, 100, 3, 2, 20, 60, 1, 2, 2), 31.0f, 101.0f);
    EXPECT_EQ(&g.at(1, 1), &g.records[0]);
    EXPECT_EQ(&g.at(2, 1), &g.records[1]);
    EXPECT_EQ(&g.at(1, 2), &g.records[3]);
    EXPECT_EQ(&g.at(3, 2), &g.records[5]);
    EXPECT_EQ(fault_message([&] { (void)g.at(4, 1); }), "subfault (4,1) is outside the 3x2 grid");
    EXPECT_EQ(fault_message([&] { (void)g.at(1, 0); }), "subfault (1,0) is outside the 3x2 grid");
    EXPECT_EQ(fault_message([&] { (void)g.at(0, 1); }), "subfault (0,1) is outside the 3x2 grid");
    EXPECT_EQ(fault_message([&] { (void)g.at(1, 3); }), "subfault (1,3) is outside the 3x2 grid");
}

TEST(Geometry, ReusedGridKeepsItsStorageAndAgreesAcrossThreads) {
    const auto big = make_segment(30, 100, 6, 4, 20, 60, 1, 2, 2);
    const auto small = make_segment(-12, 77, 2, 3, 200, 15, 3, 1.5f, 2.5f);
    GeometryGrid grid;
    subfault_geometry(grid, big, 31.0f, 101.0f);
    const SubfaultGeometry* storage = grid.records.data();
    subfault_geometry(grid, small, -11.5f, 76.0f);
    EXPECT_EQ(grid.records.data(), storage);
    EXPECT_EQ(grid.n_along, 2u);
    EXPECT_EQ(grid.n_down, 3u);

    const GeometryGrid fresh = subfault_geometry(small, -11.5f, 76.0f);
    ASSERT_EQ(fresh.records.size(), grid.records.size());
    for (std::size_t k = 0; k < fresh.records.size(); ++k) {
        EXPECT_EQ(std::memcmp(&fresh.records[k], &grid.records[k], sizeof(SubfaultGeometry)), 0);
    }

    std::vector<GeometryGrid> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) {
        threads.emplace_back([&r, &big] { subfault_geometry(r, big, 31.0f, 101.0f); });
    }
    for (auto& t : threads) t.join();
    const GeometryGrid ref = subfault_geometry(big, 31.0f, 101.0f);
    for (const auto& r : results) {
        ASSERT_EQ(r.records.size(), ref.records.size());
        EXPECT_EQ(std::memcmp(r.records.data(), ref.records.data(),
                              ref.records.size() * sizeof(SubfaultGeometry)),
                  0);
    }
}
