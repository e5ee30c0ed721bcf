#include "korvane/radiation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "korvane/angles.hpp"
#include "korvane/fault.hpp"
#include "korvane/vmath.hpp"

namespace korvane::radiation {

namespace {

constexpr float kBandHalfWidth = static_cast<float>(40.0 * std::numbers::pi / 180.0);
constexpr float kLn4 = 2.0f * std::numbers::ln2_v<float>;
static_assert(kBandHalfWidth == 0.6981317f && kLn4 == 1.3862944f);

// Horizontal: between these frequencies (Hz) the magnitude blends from |R| to
// the rms; outside it is the rms alone.
constexpr float kBlendFromHz = 0.5f;
constexpr float kBlendToHz = 2.0f;
// Vertical: exact at and below kExactUpToHz, the average above kAverageFromHz,
// a linear ramp of width kRampHz (0.01 - 0.001, as an f32 literal) between.
constexpr float kExactUpToHz = 0.001f;
constexpr float kAverageFromHz = 0.01f;
constexpr float kRampHz = 0.009f;
// The vertical average is half the mean |sv sin i| over the directions.
constexpr float kVerticalShare = 0.5f;

// Short names follow the formulas of the radiation pattern (Aki & Richards
// 2002, ch. 4): a leading s is a sine, c a cosine; l is lambda (rake), d
// delta (dip), i the take-off angle, p phi (azimuth - strike); c2i and c2p are
// cos 2i and cos 2phi; t3, t7, t9 and u4 are partial products shared by sh and
// sv.
//
// Terms that depend on rake and dip only. The operation order in here and in
// the functions below fixes the f32 result; keep the grouping.
struct Mechanism {
    float t3;    // cd * cl
    float clsd;  // cl * sd
    float u4;    // (cd * cd - sd * sd) * sl
    float t7;    // (sd * sl) * cd
};

// From the sines and cosines of rake (l) and dip (d).
inline Mechanism mechanism(float sl, float cl, float sd, float cd) {
    return {cd * cl, cl * sd, (cd * cd - sd * sd) * sl, (sd * sl) * cd};
}

inline Mechanism mechanism(float rake, float dip) {
    return mechanism(std::sin(rake), std::cos(rake), std::sin(dip), std::cos(dip));
}

inline float sh_of(const Mechanism& m, float si, float ci, float sp, float cp) {
    const float t9 = m.clsd * si;
    const float c2p = cp * cp - sp * sp;
    return ((c2p * t9 + (ci * m.t3) * sp) + (ci * m.u4) * cp) - ((2.0f * (si * m.t7)) * sp) * cp;
}

inline float sv_of(const Mechanism& m, float si, float ci, float sp, float cp) {
    const float t9 = m.clsd * si;
    const float c2i = ci * ci - si * si;
    return (((m.u4 * c2i) * sp - (c2i * m.t3) * cp) + ((2.0f * (t9 * ci)) * sp) * cp) -
           (sp * sp + 1.0f) * (((2.0f * m.t7) * si) * ci);
}

inline Coefficients coefficients(float rake, float dip, float takeoff, float phi) {
    const Mechanism m = mechanism(rake, dip);
    const float si = std::sin(takeoff), ci = std::cos(takeoff);
    const float sp = std::sin(phi), cp = std::cos(phi);
    return {.sh = sh_of(m, si, ci, sp, cp), .sv = sv_of(m, si, ci, sp, cp)};
}

// Perturbation of an angle by up to +-pi/4 from a uniform u in [0, 1).
inline float perturb(float angle, float u) { return ((0.5f - u) * kHalfPi) + angle; }

// Projection of (sh, sv) on the horizontal direction theta, seen at azimuth az.
inline float projection(float theta, float az, float sh, float sv) {
    const float d = theta - az;
    return std::sin(d) * sh + std::cos(d) * sv;
}

// Realisations and directions pass through the vector sine and cosine in
// blocks of this many; a block's arrays (a few KB) live on the stack.
constexpr std::size_t kBlock = 64;
using Block = std::array<float, kBlock>;

// s[k] = sin x[k], c[k] = cos x[k] for k < nb.
inline void sincos_block(const Block& x, Block& s, Block& c, std::size_t nb) {
    vmath::sincos({x.data(), nb}, {s.data(), nb}, {c.data(), nb});
}

// Uniform draws per realisation, one per angle: take-off, azimuth, strike,
// dip and rake, in that order.
constexpr std::size_t kDrawsPerRealisation = 5;

// Root mean square of the projection of (sh, sv) on the horizontal direction
// theta over n_real realisations, each of the five angles moved by up to
// +-pi/4. The squares are summed in realisation order.
float perturbed_rms(float strike, float dip, float rake, float azimuth, float takeoff, float theta,
                    rng::DrawSource& draws, std::size_t n_real) {
    std::array<float, kDrawsPerRealisation * kBlock> u;
    // The perturbed take-off, rake, dip, phi and theta - azimuth of a block,
    // then their sines and cosines.
    Block i_p, l_p, d_p, phi_p, theta_p;
    Block si, ci, sl, cl, sd, cd, sp, cp, st, ct, r;
    float sum = 0.0f;
    for (std::size_t k0 = 0; k0 < n_real; k0 += kBlock) {
        const std::size_t nb = std::min(kBlock, n_real - k0);
        draws.fill_uniform({u.data(), kDrawsPerRealisation * nb});
        for (std::size_t k = 0; k < nb; ++k) {
            const float* uk = u.data() + kDrawsPerRealisation * k;
            const float az_p = perturb(azimuth, uk[1]);
            i_p[k] = perturb(takeoff, uk[0]);
            phi_p[k] = az_p - perturb(strike, uk[2]);
            d_p[k] = perturb(dip, uk[3]);
            l_p[k] = perturb(rake, uk[4]);
            theta_p[k] = theta - az_p;
        }
        sincos_block(i_p, si, ci, nb);
        sincos_block(l_p, sl, cl, nb);
        sincos_block(d_p, sd, cd, nb);
        sincos_block(phi_p, sp, cp, nb);
        sincos_block(theta_p, st, ct, nb);
        for (std::size_t k = 0; k < nb; ++k) {
            const Mechanism m = mechanism(sl[k], cl[k], sd[k], cd[k]);
            const float sh = sh_of(m, si[k], ci[k], sp[k], cp[k]), sv = sv_of(m, si[k], ci[k], sp[k], cp[k]);
            r[k] = st[k] * sh + ct[k] * sv;
        }
        for (std::size_t k = 0; k < nb; ++k) sum = sum + r[k] * r[k];
    }
    return std::sqrt(sum / static_cast<float>(n_real));
}

// Sum of |sv sin i| over the directions (u[k], w[k]): take-off angles uniform
// in cos i between c_lo and c_hi (uniform in solid angle), azimuths uniform.
// Summed in direction order.
float sum_abs_vertical(const Mechanism& m, float strike, float c_lo, float c_hi, std::span<const float> u,
                       std::span<const float> w, std::size_t n_dir) {
    Block x, i_k, phi, si, ci, sp, cp;
    float sum = 0.0f;
    for (std::size_t k0 = 0; k0 < n_dir; k0 += kBlock) {
        const std::size_t nb = std::min(kBlock, n_dir - k0);
        for (std::size_t k = 0; k < nb; ++k) {
            const float uk = u[k0 + k];
            x[k] = uk * c_hi + (1.0f - uk) * c_lo;
            phi[k] = w[k0 + k] * kTwoPi - strike;
        }
        vmath::acos({x.data(), nb}, {i_k.data(), nb});
        sincos_block(i_k, si, ci, nb);
        sincos_block(phi, sp, cp, nb);
        for (std::size_t k = 0; k < nb; ++k) {
            sum = sum + std::fabs(sv_of(m, si[k], ci[k], sp[k], cp[k]) * si[k]);
        }
    }
    return sum;
}

}  // namespace

Coefficients radiation_coefficients(float rake, float dip, float takeoff, float phi) {
    return coefficients(rake, dip, takeoff, phi);
}

void horizontal_radiation_spectrum(float sh, float sv, float strike, float dip, float rake, float azimuth,
                                   float takeoff, float theta, rng::DrawSource& draws, std::size_t n_real,
                                   std::span<const float> freqs, std::span<float> out) {
    const float r_exact = projection(theta, azimuth, sh, sv);
    const float rms = perturbed_rms(strike, dip, rake, azimuth, takeoff, theta, draws, n_real);
    // R = +-0 and NaN take the + sign.
    const float sign = r_exact < 0.0f ? -1.0f : 1.0f;
    const float abs_r = std::fabs(r_exact);
    const float diff = rms - abs_r;

    check_same_length(freqs.size(), out.size());
    // The rms alone at and below 0.5 Hz and above 2 Hz; between, a blend from
    // |R| (w = 0 at 0.5 Hz) to the rms (w = 1 at 2 Hz), w = ln(2f) / ln 4.
    const float far = diff + abs_r;
    for (std::size_t k = 0; k < freqs.size(); ++k) {
        const float f = freqs[k];
        float mag;
        if (f > kBlendFromHz && f <= kBlendToHz) {
            const float w = std::log(f + f) / kLn4;
            mag = abs_r + w * diff;
        } else {
            mag = far;
        }
        out[k] = sign * mag;
    }
}

void vertical_radiation_spectrum(const std::array<float, 5>& angles, std::span<const float> freqs,
                                 std::span<const float> u, std::span<const float> w, std::size_t n_draw,
                                 std::span<float> out) {
    const float strike = angles[0], dip = angles[1], rake = angles[2];
    const float azimuth = angles[3], takeoff = angles[4];

    // Take-off band of upgoing rays; fmax/fmin drop a NaN take-off.
    const float lo = std::fmax(takeoff - kBandHalfWidth, kHalfPi);
    const float hi = std::fmin(takeoff + kBandHalfWidth, kPi);
    check_range_end(u.size(), n_draw);
    const std::size_t n_dir = std::min(n_draw, w.size());
    // Rake and dip are fixed over the directions: their terms once.
    const Mechanism m = mechanism(rake, dip);
    const float sum = sum_abs_vertical(m, strike, std::cos(lo), std::cos(hi), u, w, n_dir);
    const float det = coefficients(rake, dip, takeoff, azimuth - strike).sv * std::sin(takeoff);
    const float avg = (sum / static_cast<float>(n_draw)) * kVerticalShare;

    check_same_length(freqs.size(), out.size());
    const float span = avg - det;
    for (std::size_t k = 0; k < freqs.size(); ++k) {
        const float f = freqs[k];
        float v;
        if (f <= kExactUpToHz) {
            v = det;
        } else if (f > kAverageFromHz || std::isnan(f)) {
            v = avg;
        } else {
            v = ((f - kExactUpToHz) * span) / kRampHz + det;
        }
        out[k] = v;
    }
}

}  // namespace korvane::radiation
