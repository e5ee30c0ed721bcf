#include "korvane/ray.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "korvane/fault.hpp"

namespace korvane::ray {

namespace {

// Interface clearance of the source, km: the f32 value 0.02 widened.
constexpr double kNudge = static_cast<double>(0.02f);
// Clamp of sin i in the spreading: the f32 value 0.999999 widened.
constexpr double kMaxSine = static_cast<double>(0.999999f);
// Length, km, of a path whose legs add up to exactly 0: the f32 value 0.001 widened.
constexpr double kMinLength = static_cast<double>(0.001f);
// |Im p| (s/km) below which p counts as real, and sin(theta) above which the
// root of eta lies in the upper half plane and is flipped.
constexpr double kTiny = 1e-8;
// The search stays this far (s/km) below 1/vmax, where eta of the fastest
// layer vanishes and dt/dp is infinite.
constexpr double kBelowGrazing = 1e-9;
// The search stops once |dt/dp| is at most this, km.
constexpr double kSlopeTolerance = 0.01;
// Midpoints after the first one: 40 in all.
constexpr int kMaxFurtherMidpoints = 39;

// A complex f64 with every product, quotient and sum written out by hand
// rather than std::complex: its division (libgcc's __divdc3) scales the
// operands as in Smith's method, so x / eta rounds differently from
// (x re, -x im) / (re^2 + im^2) (72% of random quotients differ, measured),
// and its product recovers infinities from NaN parts (C99 Annex G). The travel
// times, and so the records, follow the operation order written here.
struct Cplx {
    double re;
    double im;
};

// sin and cos of pi/2 as the library gives them (1 and 6.1e-17).
const double kSinHalfPi = std::sin(std::numbers::pi / 2.0);
const double kCosHalfPi = std::cos(std::numbers::pi / 2.0);

// Vertical slowness sqrt(1/v^2 - p^2) at p = a + ib, on the branch with
// Re >= 0 and Im <= 0 (decaying below a layer the ray grazes).
inline Cplx eta(double v, double a, double b) noexcept {
    const double re = (1.0 / (v * v) - a * a) + b * b;
    const double im = (-2.0 * b) * a;
    double s;
    double c;
    if (std::fabs(b) < kTiny) {
        // Real p: the branch is fixed by the sign of 1/v^2 - p^2 alone.
        if (re < 0.0) {
            s = kSinHalfPi;
            c = kCosHalfPi;
        } else {
            s = 0.0;
            c = 1.0;
        }
    } else {
        const double theta = std::atan2(im, re) * 0.5;
        s = std::sin(theta);
        c = std::cos(theta);
    }
    if (c <= 0.0 || s > kTiny) {
        s = -s;
        c = -c;
    }
    const double m = std::sqrt(std::sqrt(re * re + im * im));
    return {c * m, s * m};
}

// Stops unless layers 0..deepest exist in the model and in both count lists.
inline void check_deepest(const RayState& st, std::span<const RayLayer> layers) {
    check_index(layers.size(), st.deepest);
    check_index(st.travel.p_counts.size(), st.deepest);
    check_index(st.travel.s_counts.size(), st.deepest);
}

// Sum over layers 0..deepest of term(count, h, v), for the layer's P count
// with vp and then its S count with vsh, taking only the counts `counted`
// accepts; the caller has checked `deepest`. A count left out adds nothing
// rather than +0, which is the same: the sum starts at +0 and never becomes
// -0, and any other value plus +0 is itself.
template <class Counted, class Term>
inline Cplx layer_sum(const RayState& st, std::span<const RayLayer> layers, Counted counted, Term term) noexcept {
    Cplx sum{0.0, 0.0};
    for (std::size_t i = 0; i <= st.deepest; ++i) {
        const RayLayer& layer = layers[i];
        const auto add = [&](float n, double v) {
            if (!counted(n)) return;
            const Cplx t = term(n, layer.thickness_km, v);
            sum.re += t.re;
            sum.im += t.im;
        };
        add(st.travel.p_counts[i], layer.vp_km_s);
        add(st.travel.s_counts[i], layer.vsh_km_s);
    }
    return sum;
}

// dt/dp = r - p * (sum of count * h / eta) at p = a + ib; every non-zero count
// takes part, NaN included.
inline Cplx derivative(const RayState& st, std::span<const RayLayer> layers, double a, double b, double r) noexcept {
    const Cplx sum = layer_sum(
        st, layers, [](float n) { return n != 0.0f; },
        [a, b](float n, double h, double v) {
            const double x = static_cast<double>(n) * h;
            const Cplx e = eta(v, a, b);
            const double den = e.re * e.re + e.im * e.im;
            return Cplx{(x * e.re) / den, (-x * e.im) / den};
        });
    const double prod_re = a * sum.re - b * sum.im;
    const double prod_im = a * sum.im + b * sum.re;
    return {r - prod_re, -prod_im};
}

// t = p r + sum of count * h * eta at p = a + ib; only positive counts take
// part (a count of 0, below 0 or NaN adds nothing).
inline Cplx travel_time(const RayState& st, std::span<const RayLayer> layers, double a, double b, double r) noexcept {
    const Cplx sum = layer_sum(
        st, layers, [](float n) { return n > 0.0f; },
        [a, b](float n, double h, double v) {
            const Cplx e = eta(v, a, b);
            const double count = static_cast<double>(n);
            return Cplx{(e.re * count) * h, (e.im * count) * h};
        });
    return {a * r + sum.re, b * r + sum.im};
}

// Top of layer k: thicknesses of layers 0..k-1 summed from layer 0.
inline double top_of(std::span<const RayLayer> layers, std::size_t k) noexcept {
    double top = 0.0;
    for (std::size_t i = 0; i < k; ++i) top += layers[i].thickness_km;
    return top;
}

inline float& count_of(Travel& travel, WaveMode mode, std::size_t layer) noexcept {
    return mode == WaveMode::Compressional ? travel.p_counts[layer] : travel.s_counts[layer];
}

// Takes off the count of `mode` in `layer` the fraction of the layer that a
// leg ending (or starting) at `depth` leaves out: the part above the depth
// when `part_above`, else the part below. The count is widened to f64, the
// f64 fraction subtracted and the result rounded back to f32.
inline void take_uncrossed(Travel& travel, std::span<const RayLayer> layers, std::size_t layer, WaveMode mode,
                           double depth, bool part_above) noexcept {
    const double h = layers[layer].thickness_km;
    double u = depth - top_of(layers, layer);
    if (!part_above) u = h - u;
    float& count = count_of(travel, mode, layer);
    count = static_cast<float>(static_cast<double>(count) - u / h);
}

// RayPath and RayState both hold a path as `legs` and `modes`; the builders
// below serve either.
template <class Path>
inline void push_leg(Path& path, std::size_t layer, WaveMode mode) {
    path.legs.push_back(layer);
    path.modes.push_back(mode);
}

template <class Path>
std::size_t descend(Path& path, WaveMode mode, std::span<const RayLayer> layers, std::size_t start, std::size_t moho) {
    const std::size_t last = checked_sub<std::size_t>(moho, 1);
    if (start > last) return start;
    for (std::size_t i = start;; ++i) {
        push_leg(path, i, mode);
        check_index(layers.size(), i + 1);
        if (layers[i + 1].thickness_km == 0.0) return i;
        if (i + 1 > last) return moho;
    }
}

// Legs from, from - 1, ..., 1: up to the receiver on the bottom of layer 0.
inline void climb_to_surface(RayState& st, WaveMode mode, std::size_t from) {
    for (std::size_t k = from; k >= 1; --k) push_leg(st, k, mode);
}

// Down from `start` to the Moho (or the first zero-thickness layer), reflected
// there, and back up to the receiver.
inline void down_and_back_up(RayState& st, WaveMode mode, std::span<const RayLayer> layers, std::size_t start) {
    climb_to_surface(st, mode, descend(st, mode, layers, start, layers.size() - 1));
}

// Appends `count` (>= 1) reverberations between the surface and the Moho.
// They are all alike, so the first tells the length of the whole path before
// the rest are pushed: a code near 2^31 would otherwise want billions of legs
// (tens of GB) and take minutes before failing to allocate.
void push_reverberations(RayState& st, std::span<const RayLayer> layers, std::int32_t code, WaveMode mode,
                         std::int32_t count) {
    const std::size_t before = st.legs.size();
    down_and_back_up(st, mode, layers, 1);
    const std::size_t per_reverberation = st.legs.size() - before;
    const std::size_t total = checked_add(before, checked_mul(per_reverberation, static_cast<std::size_t>(count)));
    if (total > kMaxLegs) {
        fail("ray type " + std::to_string(code) + " needs " + std::to_string(total) + " legs, more than the " +
             std::to_string(kMaxLegs) + " a ray may have");
    }
    st.legs.reserve(total);
    st.modes.reserve(total);
    for (std::int32_t k = 1; k < count; ++k) down_and_back_up(st, mode, layers, 1);
}

// Refills the legs of ray `code` from source layer s: an odd code starts
// straight up, an even one (0 included) down to the Moho and back; every
// further pair of the code adds a reverberation from the surface.
void build_legs(RayState& st, std::span<const RayLayer> layers, std::int32_t code, WaveMode mode, std::size_t s) {
    st.legs.clear();
    st.modes.clear();
    if (code < 0) {
        // Fixed wording: "th1" is a historical variable name, kept as it stands.
        fail("ray type " + std::to_string(code) + " is negative; th1 would be undefined");
    }
    const bool odd = (code % 2) != 0;
    const std::int32_t extra = odd ? code - 1 : code - 2;
    if (odd) {
        climb_to_surface(st, mode, s);
    } else {
        down_and_back_up(st, mode, layers, s);
    }
    if (extra >= 2) push_reverberations(st, layers, code, mode, extra / 2);
}

// Adds 1 per leg to the count of its layer and mode; returns the deepest layer.
std::size_t count_whole_legs(RayState& st, std::span<const RayLayer> layers) {
    std::size_t deepest = 0;
    for (std::size_t k = 0; k < st.legs.size(); ++k) {
        const std::size_t layer = st.legs[k];
        check_index(layers.size(), layer);
        count_of(st.travel, st.modes[k], layer) += 1.0f;
        if (layer > deepest) deepest = layer;
    }
    return deepest;
}

// Direction of the first leg, 1 down or 0 up. A one-leg path goes down when
// the receiver is not above the source (0 for a NaN depth). On a longer path
// it follows from how often the first leg's layer F recurs: an odd number of
// legs in F ends the ray deeper than F after going down first, an even number
// after going up first. Direct rays come out upward (F once), Moho reflections
// downward (F twice), direct rays with reverberations upward (F three times).
std::uint8_t first_leg_direction(const RayState& st, double z_s, double z_r) {
    const std::size_t count = st.legs.size();
    if (count == 1) return z_r >= z_s ? 1 : 0;
    if (st.start_sign < 0) return 0;
    const std::size_t first = st.legs[0];
    const std::size_t last = st.legs[count - 1];
    std::size_t in_first = 0;
    for (const std::size_t layer : st.legs) in_first += layer == first ? 1u : 0u;
    const bool odd = (in_first % 2) == 1;
    return ((last > first && odd) || (last <= first && !odd)) ? 1 : 0;
}

// Turns (the next leg stays in the layer) and the direction of every leg,
// which flips at each turn.
void set_directions(RayState& st, std::uint8_t first_down) {
    st.first_down = first_down;
    st.down[0] = first_down;
    const std::size_t count = st.legs.size();
    if (count == 1) {
        st.turns[0] = 2;
        return;
    }
    for (std::size_t k = 0; k + 1 < count; ++k) {
        st.turns[k] = st.legs[k + 1] == st.legs[k] ? 1 : 0;
        st.down[k + 1] = st.turns[k] == 0 ? st.down[k] : static_cast<std::uint8_t>(1 - st.down[k]);
    }
}

}  // namespace

std::size_t RayPath::descend_to_moho(WaveMode mode, std::span<const RayLayer> layers, std::size_t start,
                                     std::size_t moho) {
    return descend(*this, mode, layers, start, moho);
}

namespace detail {

SourcePosition source_position(std::span<const RayLayer> layers, double z) noexcept {
    double b = 0.0;
    for (std::size_t i = 0; i < layers.size(); ++i) {
        b += layers[i].thickness_km;
        if (b <= z && z - b < kNudge) z = b + kNudge;  // just below an interface
        if (b > z) {
            if (b - z < kNudge) z = b - kNudge;  // just above the layer bottom
            return {i, z};
        }
    }
    // No bottom below the source: the half-space, or a NaN depth.
    std::size_t layer = 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < layers.size(); ++i) {
        if (layers[i].thickness_km > 0.0) {
            layer = i;
            sum += layers[i].thickness_km;
        }
    }
    return {layer, sum - kNudge};
}

}  // namespace detail

void build_ray_path(RayState& st, std::span<const RayLayer> layers, double z_s, double z_r) {
    if (st.legs.empty()) fail("build_ray_path needs at least one ray segment");
    const std::size_t count = st.legs.size();
    check_index(st.modes.size(), count - 1);

    st.mode_flag = st.modes[0] == WaveMode::Shear ? 2u : 1u;
    st.travel.reset_for(layers.size());
    st.turns.assign(count, 0);
    st.down.assign(count, 0);
    const std::size_t deepest = count_whole_legs(st, layers);
    const std::uint8_t d0 = first_leg_direction(st, z_s, z_r);
    set_directions(st, d0);

    // The parts of the end layers not crossed: receiver end, then source end
    // (on a one-leg path both come off the same count).
    take_uncrossed(st.travel, layers, st.legs[count - 1], st.modes[count - 1], z_r, st.down[count - 1] != 1);
    take_uncrossed(st.travel, layers, st.legs[0], st.modes[0], z_s, d0 != 0);
    st.deepest = deepest;
}

void green_function(GreenResult& out, RayState& st, std::span<const RayLayer> layers, std::int32_t code, WaveMode mode,
                    float source_depth_km, float distance_km) {
    check_index(layers.size(), 0);
    st.start_sign = 1;
    const double z_r = layers[0].thickness_km;  // the receiver sits on the bottom of layer 0
    const detail::SourcePosition src = detail::source_position(layers, static_cast<double>(source_depth_km));

    build_legs(st, layers, code, mode, src.layer);
    build_ray_path(st, layers, src.depth_km, z_r);
    const double r = static_cast<double>(distance_km);
    const StationaryRay ray = stationary_ray_parameter(st, layers, r);
    // An even code leaves the source downward; the code decides, not first_down.
    const bool even = (code % 2) == 0;
    const Spreading spread = geometric_spreading(st, layers, even, src.depth_km, ray.p_s_km);
    out.ray_parameter_s_km = static_cast<float>(ray.p_s_km);
    out.travel_time_s = static_cast<float>(ray.t_s);
    out.path_length_km = static_cast<float>(spread.length_km);
    out.t_star_s = spread.t_star_s;
}

std::size_t longest_path_legs(std::span<const RayLayer> layers, std::int32_t code) {
    if (code < 0 || layers.size() < 2) return 0;
    RayState st;
    // The longest first part, over the source layers a run can start a path
    // of this code from: below layer 0 (which holds the receivers) and above
    // the half-space.
    std::size_t first = 0;
    for (std::size_t s = 1; s + 1 < layers.size(); ++s) {
        st = RayState{};
        if (code % 2 != 0) {
            climb_to_surface(st, WaveMode::Shear, s);
        } else {
            down_and_back_up(st, WaveMode::Shear, layers, s);
        }
        first = std::max(first, st.legs.size());
    }
    const std::int32_t extra = code % 2 != 0 ? code - 1 : code - 2;
    if (extra < 2) return first;
    st = RayState{};
    down_and_back_up(st, WaveMode::Shear, layers, 1);
    return first + st.legs.size() * static_cast<std::size_t>(extra / 2);  // < 2^31 x 2 x layers
}

std::complex<double> vertical_slowness(double v, std::complex<double> p) noexcept {
    const Cplx e = eta(v, p.real(), p.imag());
    return {e.re, e.im};
}

std::complex<double> cagniard_time(const RayState& st, std::span<const RayLayer> layers, std::complex<double> p,
                                   double r) {
    check_deepest(st, layers);
    const Cplx t = travel_time(st, layers, p.real(), p.imag(), r);
    return {t.re, t.im};
}

std::complex<double> cagniard_time_derivative(const RayState& st, std::span<const RayLayer> layers,
                                              std::complex<double> p, double r) {
    check_deepest(st, layers);
    const Cplx d = derivative(st, layers, p.real(), p.imag(), r);
    return {d.re, d.im};
}

StationaryRay stationary_ray_parameter(const RayState& st, std::span<const RayLayer> layers, double r) {
    check_deepest(st, layers);
    const float* pc = st.travel.p_counts.data();
    const float* sc = st.travel.s_counts.data();
    double vmax = 0.0;
    for (std::size_t i = 0; i <= st.deepest; ++i) {
        if (pc[i] > 0.0f && layers[i].vp_km_s > vmax) vmax = layers[i].vp_km_s;
        if (sc[i] > 0.0f && layers[i].vsh_km_s > vmax) vmax = layers[i].vsh_km_s;
    }
    const double p_hi = 1.0 / vmax - kBelowGrazing;

    double p = p_hi;
    double d = derivative(st, layers, p_hi, 0.0, r).re;
    if (d < 0.0) {
        // dt/dp falls with p: d > 0 means the root lies above mid.
        double lo = 0.0;
        double hi = p_hi;
        double mid = 0.5 * p_hi;
        d = derivative(st, layers, mid, 0.0, r).re;
        // A NaN d keeps going. Measured over 9280 rays of realistic crusts,
        // codes 1 to 4 and distances 0.5 to 300 km: 11 midpoints in the
        // median, 34 at most (never the full 40); p within 0.003 s/km of the
        // root, t within 1.3e-5 s of the stationary time.
        for (int pass = 0; pass < kMaxFurtherMidpoints && !(std::fabs(d) <= kSlopeTolerance); ++pass) {
            if (d > 0.0) {
                lo = mid;
            } else {
                hi = mid;
            }
            mid = (hi + lo) * 0.5;
            d = derivative(st, layers, mid, 0.0, r).re;
        }
        p = mid;
    }
    return {p, travel_time(st, layers, p, 0.0, r).re};
}

Spreading geometric_spreading(const RayState& st, std::span<const RayLayer> layers, bool first_leg_down, double z_s,
                              double p) {
    check_index(st.legs.size(), 0);
    const std::size_t first = st.legs[0];
    check_index(layers.size(), first);
    // The first leg never lies in layer 0 (the receiver's layer).
    const std::size_t above = checked_sub<std::size_t>(first, 1);

    double top = 0.0;  // tops summed from layer 1: the air layer is left out
    for (std::size_t i = 1; i <= above; ++i) top += layers[i].thickness_km;
    const double dz = first_leg_down ? (top + layers[first].thickness_km) - z_s : z_s - top;

    double length = 0.0;
    float t_star = 0.0f;
    for (std::size_t k = 0; k < st.legs.size(); ++k) {
        const std::size_t L = st.legs[k];
        check_index(layers.size(), L);
        const RayLayer& layer = layers[L];
        double x = p * layer.vsh_km_s;
        if (x >= 1.0) x = kMaxSine;
        const double c = std::sqrt(1.0 - x * x);
        const double leg = k == 0 ? dz * (1.0 / c) : (1.0 / c) * layer.thickness_km;
        // The first leg is taken as it is, not added to a zero start: 0 + leg
        // turns a leg of -0 (a source at -0 km going up from the top of layer
        // 1) into +0, and t* keeps the sign of such a zero. The length ends at
        // the kMinLength floor either way.
        length = k == 0 ? leg : length + leg;
        const double term = (leg / layer.vsh_km_s) / static_cast<double>(layer.quality_factor_s);
        t_star = k == 0 ? static_cast<float>(term) : static_cast<float>(term + static_cast<double>(t_star));
    }
    if (length == 0.0) length = kMinLength;
    return {length, t_star};
}

}  // namespace korvane::ray
