#include "korvane/geom.hpp"

#include <GeographicLib/Geodesic.hpp>

#include <cmath>
#include <string>

#include "korvane/fault.hpp"

namespace korvane::geom {

namespace {

constexpr float kPi = 3.14159265358979323846f;
constexpr float kTwoPi = 6.2831855f;        // 2 pi rounded to f32
constexpr float kDegToRad = 0.017453292f;  // pi / 180 rounded to f32
// 360 - 2^-16: the largest azimuth that would not round to 360 in f32.
constexpr double kAzimuthWrap = 359.99998474121094;

struct Inverse {
    double s12_m;
    double azi1_deg;
};

inline Inverse inverse(const GeographicLib::Geodesic& g, double lat1, double lon1, double lat2,
                       double lon2) {
    double s12 = 0.0;
    double azi1 = 0.0;
    double azi2 = 0.0;
    g.Inverse(lat1, lon1, lat2, lon2, s12, azi1, azi2);
    return {s12, azi1};
}

// Degrees to radians as multiply by pi, then divide by 180 (f32).
inline float radians(float deg) noexcept { return deg * kPi / 180.0f; }

}  // namespace

const GeographicLib::Geodesic& WGS84() {
    // GeographicLib's own WGS84 instance is a function-local static: built once
    // under the language's once-only guard, immutable afterwards.
    return GeographicLib::Geodesic::WGS84();
}

SegmentGeometry segment_geometry(const input::Segment& s) noexcept {
    return SegmentGeometry{s.latitude_deg,       s.longitude_deg, s.n_along,
                           s.n_down,             s.strike_deg,    s.dip_deg,
                           s.top_depth_km,       s.half_length,   s.subfault_length_km,
                           s.subfault_width_km};
}

const SubfaultGeometry& GeometryGrid::at(std::size_t i, std::size_t j) const {
    if (!(i >= 1 && i <= n_along && j >= 1 && j <= n_down)) {
        fail("subfault (" + std::to_string(i) + "," + std::to_string(j) + ") is outside the " +
             std::to_string(n_along) + "x" + std::to_string(n_down) + " grid");
    }
    return records[(j - 1) * n_along + (i - 1)];
}

namespace detail {
float normalise_azimuth_deg(double az) noexcept {
    if (az < 0.0) az += 360.0;
    if (az >= kAzimuthWrap) return 0.0f;
    return static_cast<float>(az);
}
}  // namespace detail

void subfault_geometry(GeometryGrid& out, const SegmentGeometry& seg, float station_lat,
                       float station_lon) {
    const std::size_t count = checked_mul(seg.n_along, seg.n_down);
    const GeographicLib::Geodesic& g = WGS84();

    // Kilometres per degree at the origin latitude: east along the parallel,
    // north along the meridian (lat0 + 1 formed in f32).
    const float lat0 = seg.latitude_deg;
    const float lon0 = seg.longitude_deg;
    const Inverse east = inverse(g, static_cast<double>(lat0), 0.0, static_cast<double>(lat0), 1.0);
    const Inverse north =
        inverse(g, static_cast<double>(lat0), 0.0, static_cast<double>(lat0 + 1.0f), 0.0);
    const float az_e = radians(detail::normalise_azimuth_deg(east.azi1_deg));
    const float az_n = radians(detail::normalise_azimuth_deg(north.azi1_deg));
    const float kx = static_cast<float>(east.s12_m / 1000.0) * std::sin(az_e);
    const float ky = static_cast<float>(north.s12_m / 1000.0) * std::cos(az_n);

    check_chunk_size(seg.n_along);

    // All records are overwritten below; assign keeps the capacity.
    out.records.assign(count, SubfaultGeometry{});
    out.n_along = seg.n_along;
    out.n_down = seg.n_down;
    if (count == 0) return;

    const float strike = radians(seg.strike_deg);
    const float dip = radians(seg.dip_deg);
    const float sin_strike = std::sin(strike);
    const float cos_strike = std::cos(strike);
    const float sin_dip = std::sin(dip);
    const float cos_dip = std::cos(dip);
    const float L = seg.subfault_length_km;
    const float W = seg.subfault_width_km;
    const double st_lat = static_cast<double>(station_lat);
    const double st_lon = static_cast<double>(station_lon);

    SubfaultGeometry* rec = out.records.data();
    for (std::size_t j = 0; j < seg.n_down; ++j) {
        const float half_w = 0.5f * W;
        const float d = static_cast<float>(j) * W + half_w;  // down dip from the top edge
        const float z = sin_dip * d + seg.top_depth_km;
        const float hx = d * cos_dip;  // horizontal projection of d
        for (std::size_t i = 0; i < seg.n_along; ++i) {
            const float a = (static_cast<float>(i) + 0.5f) * L - seg.half_length;
            const float e = a * sin_strike + hx * cos_strike;
            const float n = a * cos_strike - hx * sin_strike;
            const float lon = lon0 + e / kx;
            const float lat = lat0 + n / ky;
            const Inverse inv =
                inverse(g, static_cast<double>(lat), static_cast<double>(lon), st_lat, st_lon);
            float az = detail::normalise_azimuth_deg(inv.azi1_deg) * kDegToRad;
            if (az >= kTwoPi) az = 0.0f;
            const float rh = static_cast<float>(inv.s12_m / 1000.0);
            const float r = std::sqrt(rh * rh + z * z);
            const float takeoff = kPi - std::atan2(rh, z);
            *rec++ = SubfaultGeometry{r, az, takeoff, rh, z};
        }
    }
}

GeometryGrid subfault_geometry(const SegmentGeometry& segment, float station_lat,
                               float station_lon) {
    GeometryGrid grid;
    subfault_geometry(grid, segment, station_lat, station_lon);
    return grid;
}

}  // namespace korvane::geom
