#include "korvane/ray.hpp"

#include <cmath>
#include <numbers>
#include <string>

#include "korvane/fault.hpp"

namespace korvane::state {

void Travel::reset_for(std::size_t n) {
    p_counts.assign(n, 0.0f);
    s_counts.assign(n, 0.0f);
}

}  // namespace korvane::state

namespace korvane::ray {

namespace {

// Interface clearance of the source: the f32 value 0.02 widened.
constexpr double kNudge = static_cast<double>(0.02f);
// Clamp of sin i in the spreading: the f32 value 0.999999 widened.
constexpr double kMaxSine = static_cast<double>(0.999999f);
constexpr double kMinLength = static_cast<double>(0.001f);

struct Cplx {
    double re;
    double im;
};

// sin and cos of pi/2 as the library gives them (1 and 6.1e-17).
const double kSinHalfPi = std::sin(std::numbers::pi / 2.0);
const double kCosHalfPi = std::cos(std::numbers::pi / 2.0);

inline Cplx eta(double v, double a, double b) noexcept {
    const double re = (1.0 / (v * v) - a * a) + b * b;
    const double im = (-2.0 * b) * a;
    double s;
    double c;
    if (std::fabs(b) < 1e-8) {
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
    if (c <= 0.0 || s > 1e-8) {
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

// Re and Im of dt/dp at p = a + ib; the caller has checked `deepest`.
inline Cplx derivative(const RayState& st, std::span<const RayLayer> layers, double a, double b,
                       double r) noexcept {
    const float* pc = st.travel.p_counts.data();
    const float* sc = st.travel.s_counts.data();
    double sum_re = 0.0;
    double sum_im = 0.0;
    for (std::size_t i = 0; i <= st.deepest; ++i) {
        const RayLayer& layer = layers[i];
        double p_re = 0.0;
        double p_im = 0.0;
        if (pc[i] != 0.0f) {  // NaN counts too
            const double x = static_cast<double>(pc[i]) * layer.thickness_km;
            const Cplx e = eta(layer.vp_km_s, a, b);
            const double den = e.re * e.re + e.im * e.im;
            p_re = (x * e.re) / den;
            p_im = (-x * e.im) / den;
        }
        double s_re = 0.0;
        double s_im = 0.0;
        if (sc[i] != 0.0f) {
            const double x = static_cast<double>(sc[i]) * layer.thickness_km;
            const Cplx e = eta(layer.vsh_km_s, a, b);
            const double den = e.re * e.re + e.im * e.im;
            s_re = (x * e.re) / den;
            s_im = (-x * e.im) / den;
        }
        sum_re = (sum_re + p_re) + s_re;
        sum_im = (sum_im + p_im) + s_im;
    }
    const double prod_re = a * sum_re - b * sum_im;
    const double prod_im = a * sum_im + b * sum_re;
    return {r - prod_re, -prod_im};
}

inline Cplx travel_time(const RayState& st, std::span<const RayLayer> layers, double a, double b,
                        double r) noexcept {
    const float* pc = st.travel.p_counts.data();
    const float* sc = st.travel.s_counts.data();
    double sum_re = 0.0;
    double sum_im = 0.0;
    for (std::size_t i = 0; i <= st.deepest; ++i) {
        const RayLayer& layer = layers[i];
        if (pc[i] > 0.0f) {
            const double n = static_cast<double>(pc[i]);
            const Cplx e = eta(layer.vp_km_s, a, b);
            sum_re += (e.re * n) * layer.thickness_km;
            sum_im += (e.im * n) * layer.thickness_km;
        }
        if (sc[i] > 0.0f) {
            const double n = static_cast<double>(sc[i]);
            const Cplx e = eta(layer.vsh_km_s, a, b);
            sum_re += (e.re * n) * layer.thickness_km;
            sum_im += (e.im * n) * layer.thickness_km;
        }
    }
    return {a * r + sum_re, b * r + sum_im};
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

// count - fraction, widened to f64 and rounded back to f32.
inline void take_fraction(float& count, double fraction) noexcept {
    count = static_cast<float>(static_cast<double>(count) - fraction);
}

inline void push_up_to_surface(RayPath& path, WaveMode mode, std::size_t from) {
    for (std::size_t k = from; k >= 1; --k) {
        path.legs.push_back(k);
        path.modes.push_back(mode);
    }
}

}  // namespace

std::size_t RayPath::descend_to_moho(WaveMode mode, std::span<const RayLayer> layers,
                                     std::size_t start, std::size_t moho) {
    const std::size_t last = checked_sub<std::size_t>(moho, 1);
    if (start > last) return start;
    for (std::size_t i = start;; ++i) {
        legs.push_back(i);
        modes.push_back(mode);
        check_index(layers.size(), i + 1);
        if (layers[i + 1].thickness_km == 0.0) return i;
        if (i + 1 > last) return moho;
    }
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
    const std::size_t n = layers.size();

    st.mode_flag = st.modes[0] == WaveMode::Shear ? 2u : 1u;
    st.travel.reset_for(n);
    st.turns.assign(count, 0);
    st.down.assign(count, 0);

    std::size_t deepest = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t layer = st.legs[k];
        check_index(n, layer);
        count_of(st.travel, st.modes[k], layer) += 1.0f;
        if (layer > deepest) deepest = layer;
    }

    const std::size_t first = st.legs[0];
    const std::size_t last = st.legs[count - 1];
    std::uint8_t d0;
    if (count > 1) {
        std::size_t in_first = 0;
        for (std::size_t k = 0; k < count; ++k) in_first += st.legs[k] == first ? 1u : 0u;
        const bool odd = (in_first % 2) == 1;
        d0 = ((last > first && odd) || (last <= first && !odd)) ? 1 : 0;
        if (st.start_sign < 0) d0 = 0;
    } else {
        d0 = z_r >= z_s ? 1 : 0;
    }
    st.first_down = d0;
    st.down[0] = d0;

    if (count == 1) {
        st.turns[0] = 2;
    } else {
        for (std::size_t k = 0; k + 1 < count; ++k) {
            st.turns[k] = st.legs[k + 1] == st.legs[k] ? 1 : 0;
            st.down[k + 1] = st.turns[k] == 0 ? st.down[k] : static_cast<std::uint8_t>(1 - st.down[k]);
        }
    }

    // Receiver end, then source end: the parts of the end layers not crossed.
    {
        const double h = layers[last].thickness_km;
        double u = z_r - top_of(layers, last);
        if (st.down[count - 1] == 1) u = h - u;
        take_fraction(count_of(st.travel, st.modes[count - 1], last), u / h);
    }
    {
        const double h = layers[first].thickness_km;
        double u = z_s - top_of(layers, first);
        if (d0 == 0) u = h - u;
        take_fraction(count_of(st.travel, st.modes[0], first), u / h);
    }
    st.deepest = deepest;
}

void green_function(GreenResult& out, RayState& st, std::span<const RayLayer> layers,
                    std::int32_t code, WaveMode mode, float source_depth_km, float distance_km) {
    const std::size_t n = layers.size();
    check_index(n, 0);
    st.start_sign = 1;
    const double z_r = layers[0].thickness_km;
    const detail::SourcePosition src =
        detail::source_position(layers, static_cast<double>(source_depth_km));
    const std::size_t s = src.layer;
    const double z = src.depth_km;

    st.legs.clear();
    st.modes.clear();
    if (code < 0) {
        fail("ray type " + std::to_string(code) + " is negative; th1 would be undefined");
    }
    const bool odd = (code % 2) != 0;
    const std::int32_t extra = odd ? code - 1 : code - 2;
    const std::int32_t reverberations = extra / 2;

    if (odd) {
        push_up_to_surface(st, mode, s);
    } else {
        const std::size_t j = st.descend_to_moho(mode, layers, s, n - 1);
        push_up_to_surface(st, mode, j);
    }
    if (extra >= 2) {
        // Every reverberation repeats the same descent from layer 1 and climb
        // back, so the first one tells the length of the whole path before the
        // rest are pushed: a code near 2^31 would otherwise want billions of
        // legs (tens of GB) and take minutes before failing to allocate.
        const std::size_t before = st.legs.size();
        const std::size_t j = st.descend_to_moho(mode, layers, 1, n - 1);
        push_up_to_surface(st, mode, j);
        const std::size_t per_reverberation = st.legs.size() - before;
        const std::size_t total = checked_add(
            before, checked_mul(per_reverberation, static_cast<std::size_t>(reverberations)));
        if (total > kMaxLegs) {
            fail("ray type " + std::to_string(code) + " needs " + std::to_string(total) +
                 " legs, more than the " + std::to_string(kMaxLegs) + " a ray may have");
        }
        st.legs.reserve(total);
        st.modes.reserve(total);
        for (std::int32_t k = 1; k < reverberations; ++k) {
            const std::size_t jk = st.descend_to_moho(mode, layers, 1, n - 1);
            push_up_to_surface(st, mode, jk);
        }
    }

    build_ray_path(st, layers, z, z_r);
    const double r = static_cast<double>(distance_km);
    const StationaryRay ray = stationary_ray_parameter(st, layers, r);
    const Spreading spread = geometric_spreading(st, layers, !odd, z, ray.p_s_km);
    out.ray_parameter_s_km = static_cast<float>(ray.p_s_km);
    out.travel_time_s = static_cast<float>(ray.t_s);
    out.path_length_km = static_cast<float>(spread.length_km);
    out.t_star_s = spread.t_star_s;
}

std::complex<double> vertical_slowness(double v, std::complex<double> p) noexcept {
    const Cplx e = eta(v, p.real(), p.imag());
    return {e.re, e.im};
}

std::complex<double> cagniard_time(const RayState& st, std::span<const RayLayer> layers,
                                   std::complex<double> p, double r) {
    check_deepest(st, layers);
    const Cplx t = travel_time(st, layers, p.real(), p.imag(), r);
    return {t.re, t.im};
}

std::complex<double> cagniard_time_derivative(const RayState& st,
                                              std::span<const RayLayer> layers,
                                              std::complex<double> p, double r) {
    check_deepest(st, layers);
    const Cplx d = derivative(st, layers, p.real(), p.imag(), r);
    return {d.re, d.im};
}

StationaryRay stationary_ray_parameter(const RayState& st, std::span<const RayLayer> layers,
                                       double r) {
    check_deepest(st, layers);
    const float* pc = st.travel.p_counts.data();
    const float* sc = st.travel.s_counts.data();
    double vmax = 0.0;
    for (std::size_t i = 0; i <= st.deepest; ++i) {
        if (pc[i] > 0.0f && layers[i].vp_km_s > vmax) vmax = layers[i].vp_km_s;
        if (sc[i] > 0.0f && layers[i].vsh_km_s > vmax) vmax = layers[i].vsh_km_s;
    }
    const double p_hi = 1.0 / vmax - 1e-9;

    double p = p_hi;
    double d = derivative(st, layers, p_hi, 0.0, r).re;
    if (d < 0.0) {
        // dt/dp falls with p: d > 0 means the root lies above mid.
        double lo = 0.0;
        double hi = p_hi;
        double mid = 0.5 * p_hi;
        d = derivative(st, layers, mid, 0.0, r).re;
        // At most 39 further midpoints (40 in all); a NaN d keeps going.
        for (int pass = 0; pass < 39 && !(std::fabs(d) <= 0.01); ++pass) {
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

Spreading geometric_spreading(const RayState& st, std::span<const RayLayer> layers,
                              bool first_leg_down, double z_s, double p) {
    check_index(st.legs.size(), 0);
    const std::size_t first = st.legs[0];
    check_index(layers.size(), first);
    // The first leg never lies in layer 0 (the receiver's layer).
    const std::size_t above = checked_sub<std::size_t>(first, 1);

    double top = 0.0;  // tops summed from layer 1: the air layer is left out
    for (std::size_t i = 1; i <= above; ++i) top += layers[i].thickness_km;
    const double dz =
        first_leg_down ? (top + layers[first].thickness_km) - z_s : z_s - top;

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
        length = k == 0 ? leg : length + leg;
        const double term =
            (leg / layer.vsh_km_s) / static_cast<double>(layer.quality_factor_s);
        t_star = k == 0 ? static_cast<float>(term)
                        : static_cast<float>(term + static_cast<double>(t_star));
    }
    if (length == 0.0) length = kMinLength;
    return {length, t_star};
}

}  // namespace korvane::ray
