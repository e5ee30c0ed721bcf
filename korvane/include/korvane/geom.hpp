// Subfault-to-station geometry on the WGS84 ellipsoid: for one station, the
// hypocentral and epicentral distance, azimuth, straight-path take-off angle
// and depth of every subfault of a planar fault segment.
//
// Every subfault of one segment is placed with a local flat step (kilometres
// per degree of longitude and latitude, measured once per call at the
// latitude of the segment origin, towards the equator where a step north
// would pass the pole); distance and azimuth from each subfault's
// surface point to the station are then solved on the ellipsoid as geodesics
// with GeographicLib's inverse problem (Karney 2013, "Algorithms for
// geodesics", J. Geodesy 87, 43-55; accurate to about 15 nm).
// Units: degrees in, km and 32-bit radians out. Azimuths run clockwise from
// north in [0, 2 pi); take-off angles are measured from the downward vertical,
// so pi is straight up. The fault dips to the right of the strike direction.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "korvane/input.hpp"

namespace GeographicLib {
class Geodesic;
}

namespace korvane::geom {

// The process-wide WGS84 geodesic: created on first use (thread-safe, once),
// read-only afterwards.
const GeographicLib::Geodesic& WGS84();

// True for a latitude on the globe, within [-90, 90] degrees (false for NaN).
inline bool is_latitude(float deg) noexcept { return std::fabs(deg) <= 90.0f; }

// One segment as seen by the geometry. The origin is the centre of the top
// edge; the fault dips to the right of the strike direction.
struct SegmentGeometry {
    float latitude_deg = 0.0f;   // origin latitude
    float longitude_deg = 0.0f;  // origin longitude
    std::size_t n_along = 0;     // subfault columns along strike
    std::size_t n_down = 0;      // subfault rows down dip
    float strike_deg = 0.0f;     // clockwise from north
    float dip_deg = 0.0f;
    float top_depth_km = 0.0f;
    float half_length = 0.0f;         // half the segment length, km
    float subfault_length_km = 0.0f;  // along strike
    float subfault_width_km = 0.0f;   // down dip
};

// The geometry fields of a segment, each from the Segment field of that name.
SegmentGeometry segment_geometry(const input::Segment& segment) noexcept;

// One subfault seen from one station.
struct SubfaultGeometry {
    float hypocentral_distance_km = 0.0f;  // R = sqrt(rh^2 + z^2)
    float azimuth_rad = 0.0f;              // subfault -> station, clockwise from north, in [0, 2 pi)
    float takeoff_rad = 0.0f;              // pi - atan2(rh, z), from the downward vertical
    float epicentral_distance_km = 0.0f;   // rh, geodesic, surface point -> station
    float depth_km = 0.0f;                 // z, depth of the subfault centre
};

// All subfaults of a segment, row-major: rows run down dip, the first n_along
// records are the top row from the start of the segment along strike.
struct GeometryGrid {
    std::vector<SubfaultGeometry> records;
    std::size_t n_along = 0;
    std::size_t n_down = 0;

    // 1-based: i the column along strike, j the row down dip. Stops with
    // "subfault ({i},{j}) is outside the {n_along}x{n_down} grid" otherwise.
    const SubfaultGeometry& at(std::size_t i, std::size_t j) const;
};

// Where the flat step puts a subfault centre: degrees (f32) and depth, km.
struct SubfaultCentre {
    float latitude_deg = 0.0f;
    float longitude_deg = 0.0f;
    float depth_km = 0.0f;
};

// The centres of every subfault of `segment`, row-major as the grid, with the
// arithmetic subfault_geometry uses. A centre the step puts beyond +-90
// degrees latitude (or NaN), or at a longitude that is not finite (a
// segment on a pole), is off the globe: no geodesic reaches it. Stops as
// subfault_geometry does.
std::vector<SubfaultCentre> subfault_centres(const SegmentGeometry& segment);
bool on_the_globe(const SubfaultCentre& centre) noexcept;

// Fills `out` with the geometry of every subfault of `segment` seen from the
// station. Reuses the capacity of `out.records` (no allocation once grown).
// Solves the inverse problem count + 2 times. Stops on an overflowing cell
// count and with "chunk size must be non-zero" when n_along is 0 (after the
// two kilometre-per-degree solutions).
void subfault_geometry(GeometryGrid& out, const SegmentGeometry& segment, float station_latitude_deg,
                       float station_longitude_deg);

// As above, into a new grid.
GeometryGrid subfault_geometry(const SegmentGeometry& segment, float station_latitude_deg, float station_longitude_deg);

namespace detail {
// A geodesic azimuth (degrees, f64) as 32-bit degrees: a negative one is
// shifted by 360; one at or above 360 - 2^-16 counts as 0. NaN passes.
float normalise_azimuth_deg(double azimuth_deg) noexcept;
}  // namespace detail

}  // namespace korvane::geom
