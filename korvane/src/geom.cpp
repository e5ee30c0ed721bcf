#include "korvane/geom.hpp"

#include <GeographicLib/Geodesic.hpp>

#include <cmath>
#include <string>

#include "korvane/angles.hpp"
#include "korvane/fault.hpp"

namespace korvane::geom {

namespace {

constexpr float kHalfTurnDeg = 180.0f;
constexpr float kQuarterTurnDeg = 90.0f;  // latitude of the north pole
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

inline Inverse inverse(const GeographicLib::Geodesic& g, double lat1, double lon1, double lat2, double lon2) {
    double s12 = 0.0;
    double azi1 = 0.0;
    double azi2 = 0.0;
    g.Inverse(lat1, lon1, lat2, lon2, s12, azi1, azi2);
    return {s12, azi1};
}

// Degrees to radians as multiply by pi, then divide by 180 (f32). An angle
// beyond FLT_MAX / pi degrees (about 1.08e38) would overflow the product; its
// remainder modulo 360 (exact in double) points the same way.
inline float radians(float deg) noexcept {
    const float product = deg * kPi;
    if (std::isfinite(product) || !std::isfinite(deg)) return product / kHalfTurnDeg;
    return static_cast<float>(std::fmod(static_cast<double>(deg), 360.0)) * kPi / kHalfTurnDeg;
}

// Kilometres per degree at latitude lat0: kx per degree of longitude eastward,
// ky per degree of latitude northward. Each is the geodesic length of a
// one-degree step times the sine (east) or cosine (north) of its azimuth;
// lat0 + 1 is formed in f32. Where that end would pass the pole (NaN from the
// geodesic), the northward step is taken towards the equator instead, to
// lat0 - 1: its azimuth is 180 degrees, so its cosine's sign is turned back.
struct LocalScale {
    float kx;
    float ky;
};

LocalScale km_per_degree(const GeographicLib::Geodesic& g, float lat0) {
    const Inverse east = inverse(g, static_cast<double>(lat0), 0.0, static_cast<double>(lat0), 1.0);
    const bool southward = lat0 + 1.0f > kQuarterTurnDeg;
    const float end = southward ? lat0 - 1.0f : lat0 + 1.0f;
    const Inverse north = inverse(g, static_cast<double>(lat0), 0.0, static_cast<double>(end), 0.0);
    const float az_e = radians(detail::normalise_azimuth_deg(east.azi1_deg));
    const float az_n = radians(detail::normalise_azimuth_deg(north.azi1_deg));
    const float ky = static_cast<float>(north.s12_m / kMetresPerKm) * std::cos(az_n);
    return {static_cast<float>(east.s12_m / kMetresPerKm) * std::sin(az_e), southward ? -ky : ky};
}

// The flat step of one segment: centres of its subfaults, km offsets turned
// into degrees at the origin's scale.
class Placer {
public:
    Placer(const GeographicLib::Geodesic& g, const SegmentGeometry& seg)
        : seg_(seg), scale_(km_per_degree(g, seg.latitude_deg)) {
        const float strike = radians(seg.strike_deg);
        const float dip = radians(seg.dip_deg);
        sin_strike_ = std::sin(strike);
        cos_strike_ = std::cos(strike);
        sin_dip_ = std::sin(dip);
        cos_dip_ = std::cos(dip);
    }

    // Centre of the subfault in column i, row j (both from 0).
    SubfaultCentre centre(std::size_t i, std::size_t j) const {
        const float W = seg_.subfault_width_km;
        const float half_w = 0.5f * W;
        const float d = static_cast<float>(j) * W + half_w;  // down dip from the top edge
        const float z = sin_dip_ * d + seg_.top_depth_km;
        const float hx = d * cos_dip_;  // horizontal projection of d
        // Offsets from the origin, km: along strike, then east and north
        // (the down-dip horizontal points to strike + 90 degrees).
        const float a = (static_cast<float>(i) + 0.5f) * seg_.subfault_length_km - seg_.half_length;
        const float e = a * sin_strike_ + hx * cos_strike_;
        const float n = a * cos_strike_ - hx * sin_strike_;
        return {.latitude_deg = seg_.latitude_deg + n / scale_.ky,
                .longitude_deg = seg_.longitude_deg + e / scale_.kx,
                .depth_km = z};
    }

private:
    const SegmentGeometry& seg_;
    LocalScale scale_;
    float sin_strike_, cos_strike_, sin_dip_, cos_dip_;
};

// The record of a subfault centred at depth z_km below (lat, lon), seen from
// the station at (station_lat, station_lon).
SubfaultGeometry seen_from_station(const GeographicLib::Geodesic& g, float lat, float lon, float z_km,
                                   double station_lat, double station_lon) {
    const Inverse inv = inverse(g, static_cast<double>(lat), static_cast<double>(lon), station_lat, station_lon);
    float az = detail::normalise_azimuth_deg(inv.azi1_deg) * kDegToRad;
    if (az >= kTwoPi) az = 0.0f;
    const float rh = static_cast<float>(inv.s12_m / kMetresPerKm);
    const float r = std::sqrt(rh * rh + z_km * z_km);
    const float takeoff = kPi - std::atan2(rh, z_km);
    return {.hypocentral_distance_km = r,
            .azimuth_rad = az,
            .takeoff_rad = takeoff,
            .epicentral_distance_km = rh,
            .depth_km = z_km};
}

}  // namespace

const GeographicLib::Geodesic& WGS84() {
    // GeographicLib's own WGS84 instance is a function-local static: built once
    // under the language's once-only guard, immutable afterwards.
    return GeographicLib::Geodesic::WGS84();
}

SegmentGeometry segment_geometry(const input::Segment& s) noexcept {
    return SegmentGeometry{s.latitude_deg,       s.longitude_deg,    s.n_along,      s.n_down,
                           s.strike_deg,         s.dip_deg,          s.top_depth_km, s.half_length,
                           s.subfault_length_km, s.subfault_width_km};
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

void subfault_geometry(GeometryGrid& out, const SegmentGeometry& seg, float station_lat, float station_lon) {
    const std::size_t count = checked_mul(seg.n_along, seg.n_down);
    const GeographicLib::Geodesic& g = WGS84();
    const Placer placer(g, seg);
    check_chunk_size(seg.n_along);

    // All records are overwritten below; assign keeps the capacity.
    out.records.assign(count, SubfaultGeometry{});
    out.n_along = seg.n_along;
    out.n_down = seg.n_down;
    const double st_lat = static_cast<double>(station_lat);
    const double st_lon = static_cast<double>(station_lon);
    SubfaultGeometry* rec = out.records.data();
    for (std::size_t j = 0; j < seg.n_down; ++j) {
        for (std::size_t i = 0; i < seg.n_along; ++i) {
            const SubfaultCentre c = placer.centre(i, j);
            *rec++ = seen_from_station(g, c.latitude_deg, c.longitude_deg, c.depth_km, st_lat, st_lon);
        }
    }
}

std::vector<SubfaultCentre> subfault_centres(const SegmentGeometry& seg) {
    const std::size_t count = checked_mul(seg.n_along, seg.n_down);
    const Placer placer(WGS84(), seg);
    check_chunk_size(seg.n_along);
    std::vector<SubfaultCentre> centres;
    centres.reserve(count);
    for (std::size_t j = 0; j < seg.n_down; ++j) {
        for (std::size_t i = 0; i < seg.n_along; ++i) centres.push_back(placer.centre(i, j));
    }
    return centres;
}

bool on_the_globe(const SubfaultCentre& c) noexcept {
    return is_latitude(c.latitude_deg) && std::isfinite(c.longitude_deg);
}

GeometryGrid subfault_geometry(const SegmentGeometry& segment, float station_lat, float station_lon) {
    GeometryGrid grid;
    subfault_geometry(grid, segment, station_lat, station_lon);
    return grid;
}

}  // namespace korvane::geom
