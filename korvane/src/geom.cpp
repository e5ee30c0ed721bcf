#include "korvane/geom.hpp"

#include <GeographicLib/Geodesic.hpp>

#include <cmath>
#include <string>

#include "korvane/angles.hpp"
#include "korvane/fault.hpp"

namespace korvane::geom {

namespace {

constexpr float kHalfTurnDeg = 180.0f;
// The station azimuth is turned to radians by kDegToRad; the fault angles
// multiply by pi and divide by 180 instead.
// 360 - 2^-16: the largest azimuth that would not round to 360 in f32.
constexpr double kAzimuthWrap = 360.0 - 0x1p-16;
static_assert(kAzimuthWrap == 359.99998474121094);
constexpr double kMetresPerKm = 1000.0;  // GeographicLib gives s12 in metres

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
inline float radians(float deg) noexcept { return deg * kPi / kHalfTurnDeg; }

// Kilometres per degree at latitude lat0: kx per degree of longitude eastward,
// ky per degree of latitude northward. Each is the geodesic length of a
// one-degree step times the sine (east) or cosine (north) of its azimuth;
// lat0 + 1 is formed in f32.
struct LocalScale {
    float kx;
    float ky;
};

LocalScale km_per_degree(const GeographicLib::Geodesic& g, float lat0) {
    const Inverse east = inverse(g, static_cast<double>(lat0), 0.0, static_cast<double>(lat0), 1.0);
    const Inverse north =
        inverse(g, static_cast<double>(lat0), 0.0, static_cast<double>(lat0 + 1.0f), 0.0);
    const float az_e = radians(detail::normalise_azimuth_deg(east.azi1_deg));
    const float az_n = radians(detail::normalise_azimuth_deg(north.azi1_deg));
    return {static_cast<float>(east.s12_m / kMetresPerKm) * std::sin(az_e),
            static_cast<float>(north.s12_m / kMetresPerKm) * std::cos(az_n)};
}

// The record of a subfault centred at depth z_km below (lat, lon), seen from
// the station at (station_lat, station_lon).
SubfaultGeometry seen_from_station(const GeographicLib::Geodesic& g, float lat, float lon,
                                   float z_km, double station_lat, double station_lon) {
    const Inverse inv =
        inverse(g, static_cast<double>(lat), static_cast<double>(lon), station_lat, station_lon);
    float az = detail::normalise_azimuth_deg(inv.azi1_deg) * kDegToRad;
    if (az >= kTwoPi) az = 0.0f;
    const float rh = static_cast<float>(inv.s12_m / kMetresPerKm);
    const float r = std::sqrt(rh * rh + z_km * z_km);
    const float takeoff = kPi - std::atan2(rh, z_km);
    return {.hypocentral_distance_km = r, .azimuth_rad = az, .takeoff_rad = takeoff,
            .epicentral_distance_km = rh, .depth_km = z_km};
}

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
    const float lat0 = seg.latitude_deg;
    const float lon0 = seg.longitude_deg;
    const LocalScale scale = km_per_degree(g, lat0);
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
            // Offsets from the origin, km: along strike, then east and north
            // (the down-dip horizontal points to strike + 90 degrees).
            const float a = (static_cast<float>(i) + 0.5f) * L - seg.half_length;
            const float e = a * sin_strike + hx * cos_strike;
            const float n = a * cos_strike - hx * sin_strike;
            *rec++ = seen_from_station(g, lat0 + n / scale.ky, lon0 + e / scale.kx, z, st_lat,
                                       st_lon);
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
