#include "korvane/stoc.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "korvane/angles.hpp"
#include "korvane/fault.hpp"
#include "korvane/fft.hpp"
#include "korvane/vmath.hpp"

namespace korvane::stoc {

namespace {

constexpr float kKmToCm = 100000.0f;  // cm per km

// The dimensionless constant of the source term (Boore 2003): rms S-wave
// radiation over the focal sphere 0.63 (Boore & Boatwright 1984) x partition
// onto one horizontal component 0.71 (about 1/sqrt 2) x free-surface
// amplification 2 = 0.8946.
constexpr float kSourceConstant = 0.8946f;
// 0.63 x 0.71, half of kSourceConstant: a synthesised component is divided by
// the average radiation and the partition, because the ray's own radiation
// amplitude of that component, multiplied in per bin, takes their place; the
// free-surface factor stays.
constexpr float kInverseScale = 0.4473f;

}  // namespace

float window_exponent(float eps, float eta) { return (std::log(eta) * -eps) / ((std::log(eps) - 1.0f) * eps + 1.0f); }

SpectrumPlan SpectrumPlan::make(std::size_t n, float dt, float q_exp, float eps, float eta) {
    if (n < 2 || n % 2 != 0) {
        fail("a spectrum plan needs an even length of at least 2, got " + std::to_string(n));
    }
    SpectrumPlan p;
    p.n = n;
    p.n_freq = n / 2 + 1;
    p.freqs.resize(p.n_freq);
    p.ln_freqs.resize(p.n_freq);
    p.freq_pow.resize(p.n_freq);
    p.time_pow.resize(n);

    // One reciprocal, then a product per bin (not a division per bin).
    const float d = 1.0f / (static_cast<float>(n) * dt);
    const float e = 1.0f - q_exp;
    for (std::size_t k = 0; k < p.n_freq; ++k) {
        const float f = static_cast<float>(k) * d;
        p.freqs[k] = f;
        p.ln_freqs[k] = std::log(f);
        p.freq_pow[k] = std::pow(f, e);
    }
    const float b = window_exponent(eps, eta);
    for (std::size_t i = 0; i < n; ++i) {
        p.time_pow[i] = std::pow(static_cast<float>(i) * dt, b);
    }
    // Half-cosine end taper over the last m = n / 10 samples: factor j is
    // (cos((j + 1) pi / m) + 1) / 2, from nearly 1 down to exactly 0.
    const std::size_t m = n / 10;
    p.taper.resize(m);
    const float h = kPi / static_cast<float>(m);
    for (std::size_t j = 0; j < m; ++j) {
        p.taper[j] = (std::cos(static_cast<float>(j + 1) * h) + 1.0f) * 0.5f;
    }
    return p;
}

const SpectrumPlan& PlanCache::for_length(std::size_t n) {
    if (auto it = plans.find(n); it != plans.end()) return it->second;
    // Build first: a build that stops leaves the map unchanged.
    // Frequencies, their logarithms and powers (n/2 + 1 each), the time
    // powers (n) and the taper (n / 10), all f32.
    const std::size_t bytes =
        saturating_mul(saturating_add(saturating_add(saturating_mul(n / 2 + 1, 3), n), n / 10), sizeof(float));
    SpectrumPlan plan = allocating([n] { return "the spectrum plan of a " + std::to_string(n) + "-sample transform"; },
                                   bytes, [&] { return SpectrumPlan::make(n, dt, q_exp, eps, eta); });
    return plans.emplace(n, std::move(plan)).first->second;
}

SpectrumShape SpectrumShape::over(std::span<float> window, std::span<double> amplitude, std::span<float> noise) {
    SpectrumShape s;
    s.window = window;
    s.amplitude = amplitude;
    s.noise = noise;
    return s;
}

SpectrumShape SpectrumShape::with_capacity(std::size_t cap) {
    auto owned = std::make_unique<Owned>(
        Owned{std::vector<float>(cap), std::vector<double>(cap / 2 + 1), fft::AlignedVector<float>(cap)});
    SpectrumShape s = over(owned->window, owned->amplitude, owned->noise);
    s.owned_ = std::move(owned);
    return s;
}

namespace {

// Independent running products of the window's decay, held in two generic
// vectors of two doubles (an SSE2 or NEON register each), and four window
// samples in one vector of floats.
constexpr std::size_t kDecayChains = 4;
using Decays = double __attribute__((vector_size(2 * sizeof(double))));
using Samples = float __attribute__((vector_size(kDecayChains * sizeof(float))));

// Unit-energy Saragoni-Hart window w(t_i) = A t_i^b e^(-c t_i), t_i = i dt, for
// plan.n samples. Its peak lies at t = b / c = eps * Tw; A = sqrt((2c)^p /
// Gamma(p)), p = 2b + 1, makes the integral of w^2 over t >= 0 equal to 1.
void fill_window(float* window, const SpectrumPlan& plan, const WindowParams& win, float window_length_s) {
    const float eps = win.eps;
    const float b = window_exponent(eps, win.eta);
    const float c = (b / eps) / window_length_s;
    const float p = (b + b) + 1.0f;
    const double gamma_p = std::tgamma(static_cast<double>(p));
    const float pw = std::pow(c + c, p);
    const float a = static_cast<float>(std::sqrt(static_cast<double>(pw) / gamma_p));
    // The decay e^(-c t_i) = r^i as running products in double, one
    // exponential per refresh: kDecayChains independent chains, chain j at
    // r^(j + k kDecayChains) after k steps of r^kDecayChains, so that no
    // product waits on the one before it. The chains' products and their
    // conversions to f32 run as vector instructions, lane by lane the same
    // arithmetic as one scalar at a time.
    const double r = std::exp(-static_cast<double>(c) * static_cast<double>(win.dt));
    double g[kDecayChains];
    g[0] = 1.0;
    for (std::size_t j = 1; j < kDecayChains; ++j) g[j] = g[j - 1] * r;
    const double step = g[kDecayChains - 1] * r;
    const float* tp = plan.time_pow.data();
    const std::size_t n = plan.n;
    Decays lo = {g[0], g[1]}, hi = {g[2], g[3]};
    const Decays steps = {step, step};
    std::size_t i = 0;
    for (; i + kDecayChains <= n; i += kDecayChains) {
        Samples t;
        std::memcpy(&t, tp + i, sizeof t);
        const Samples decay = {static_cast<float>(lo[0]), static_cast<float>(lo[1]), static_cast<float>(hi[0]),
                               static_cast<float>(hi[1])};
        const Samples w = decay * (t * a);
        std::memcpy(window + i, &w, sizeof w);
        lo *= steps;
        hi *= steps;
    }
    const double rest[kDecayChains] = {lo[0], lo[1], hi[0], hi[1]};
    for (std::size_t j = 0; i + j < n; ++j) window[i + j] = static_cast<float>(rest[j]) * (tp[i + j] * a);
}

// The frequency-independent factors of the target amplitude.
struct TargetTerms {
    float km;         // source constant / (4 pi rho beta^3) times the moment, cgs
    float omega_c;    // corner angular frequency, rad/s
    float omega_max;  // fmax as an angular frequency, rad/s
    float r_cm;       // path length, cm
    float fc2;        // fc^2, Hz^2
    float s;          // low-frequency weight of the shape term
    float t_path;     // path attenuation coefficient, s
    float kappa;      // site kappa, s
};

TargetTerms target_terms(const WindowParams& win, const SourceSpectrumParams& src) {
    const float beta_cm = src.beta_km_s * kKmToCm;
    const float k_src = kSourceConstant / ((src.density_g_cm3 * kFourPi) * (beta_cm * beta_cm * beta_cm));
    const float fc = src.corner_frequency_hz;
    return {.km = k_src * src.moment_dyne_cm,
            .omega_c = fc * kTwoPi,
            .omega_max = src.fmax_hz * kTwoPi,
            .r_cm = src.distance_km * kKmToCm,
            .fc2 = fc * fc,
            .s = src.shape_factor,
            .t_path = src.path_t,
            .kappa = win.kappa_s};
}

// Path attenuation and high-frequency diminution over the geometric spreading
// 1/R at f (fp = f^(1 - q_exp)): kappa > 0 (or NaN) gives exp(-pi kappa f)
// and no fmax filter, kappa <= 0 the first-power fmax filter 1 / (1 + f /
// fmax); the path term is exp(-pi fp T) either way. The target amplitude of
// bin k is shape * (source * d), d = exp(..) / R, times the filter in the
// fmax form, all three products in double.
//
// The per-bin divisions and the exponential's argument run first, in a loop
// free of calls that the compiler vectorises; the exponentials follow in a
// loop of their own, then the division by R and the products. Between the
// passes amp[k] holds source * filter (one float times another, exact in
// double, so the order of the three-factor product is immaterial) and the
// scratch holds shape and the exponent at bins_scratch[k - 1] and
// bins_scratch[half + k - 1], half = n_freq - 1 bins each.
template <bool KappaForm>
void target_factors(double* amp, float* bins_scratch, const SpectrumPlan& plan, const TargetTerms& t) {
    const float* fr = plan.freqs.data();
    const float* fp = plan.freq_pow.data();
    const std::size_t half = plan.n_freq - 1;
    float* shape_of = bins_scratch;
    float* exponent_of = bins_scratch + half;
    for (std::size_t k = 1; k < plan.n_freq; ++k) {
        const float f = fr[k];
        const float omega = f * kTwoPi;
        const float q = omega / t.omega_c;
        const float source = (omega * omega) / (q * q + 1.0f) * t.km;
        shape_of[k - 1] = ((f * f + t.fc2) * t.s) / ((f * f) * t.s + t.fc2);
        if constexpr (KappaForm) {
            exponent_of[k - 1] = -kPi * (fp[k] * t.t_path + t.kappa * f);
            amp[k] = static_cast<double>(source);
        } else {
            exponent_of[k - 1] = -kPi * (fp[k] * t.t_path);
            const float filter = 1.0f / (omega / t.omega_max + 1.0f);
            amp[k] = static_cast<double>(source) * static_cast<double>(filter);
        }
    }
}

// Target Fourier amplitude of acceleration for bins 1 .. n_freq - 1 (Boore
// 2003, with the omega-squared source and a two-level shape term); bin 0 keeps
// its 0. bins_scratch: 2 (n_freq - 1) floats, overwritten.
void fill_target_amplitude(double* amp, float* bins_scratch, const SpectrumPlan& plan, const TargetTerms& t) {
    if (!uses_fmax({.kappa_s = t.kappa})) {
        target_factors<true>(amp, bins_scratch, plan, t);
    } else {
        target_factors<false>(amp, bins_scratch, plan, t);
    }
    const std::size_t half = plan.n_freq - 1;
    const float* shape_of = bins_scratch;
    float* exponent_of = bins_scratch + half;
    vmath::exp({exponent_of, half}, {exponent_of, half});
    for (std::size_t j = 0; j < half; ++j) {
        const float path = exponent_of[j] / t.r_cm;
        amp[j + 1] = static_cast<double>(shape_of[j]) * (amp[j + 1] * static_cast<double>(path));
    }
}

}  // namespace

bool uses_fmax(const WindowParams& win) { return win.kappa_s <= 0.0f; }

void SpectrumShape::refresh(const SpectrumPlan& plan, const WindowParams& win, const SourceSpectrumParams& src) {
    // Every check before the first write.
    check_range_end(window.size(), plan.n);
    check_range_end(amplitude.size(), plan.n_freq);
    check_range_end(plan.time_pow.size(), plan.n);
    check_range_end(plan.freqs.size(), plan.n_freq);
    check_range_end(plan.freq_pow.size(), plan.n_freq);

    // The window's buffer (n >= 2 (n_freq - 1) floats) is the scratch of the
    // target amplitude until the window is written.
    fill_target_amplitude(amplitude.data(), window.data(), plan, target_terms(win, src));
    fill_window(window.data(), plan, win, src.window_length_s);
    dt = win.dt;
}

void radiate_and_invert(const SpectrumPlan& plan, std::span<std::complex<float>> row, std::span<const float> amp,
                        std::span<float> out) {
    const std::size_t nf = plan.n_freq;
    const std::size_t n = plan.n;
    check_same_length(row.size(), nf);
    check_same_length(amp.size(), nf);
    check_same_length(out.size(), n);
    for (std::size_t k = 0; k < nf; ++k) {
        const float a = amp[k];
        row[k] = {row[k].real() * a, row[k].imag() * a};
    }
    // The real inverse is the real part of the complex inverse of the
    // mirrored spectrum; its imaginary part, which nothing reads, is rounding
    // alone for a Hermitian spectrum.
    fft::real_inverse(row, out);
    const float scale = 1.0f / (static_cast<float>(n) * kInverseScale);
    const std::size_t m = plan.taper.size();
    check_range_end(n, m);
    float* y = out.data();
    for (std::size_t i = 0; i < n - m; ++i) y[i] = y[i] * scale;
    const float* taper = plan.taper.data();
    float* tail = y + (n - m);
    for (std::size_t j = 0; j < m; ++j) tail[j] = (tail[j] * scale) * taper[j];
}

namespace {

// Independent partial sums of sum_of_squared_magnitudes: two SSE registers.
constexpr std::size_t kSumLanes = 8;

// sum |z_k|^2 in f32, in kSumLanes lanes reduced pairwise in a fixed order,
// then the tail: no add waits on the one before it.
float sum_of_squared_magnitudes(std::span<const std::complex<float>> z) {
    const std::size_t m = z.size();
    float lane[kSumLanes] = {};
    std::size_t k = 0;
    for (; k + kSumLanes <= m; k += kSumLanes) {
        for (std::size_t l = 0; l < kSumLanes; ++l) {
            const float re = z[k + l].real();
            const float im = z[k + l].imag();
            lane[l] += re * re + im * im;
        }
    }
    for (std::size_t half = kSumLanes / 2; half > 0; half /= 2) {
        for (std::size_t l = 0; l < half; ++l) lane[l] += lane[l + half];
    }
    float s = lane[0];
    for (; k < m; ++k) s += z[k].real() * z[k].real() + z[k].imag() * z[k].imag();
    return s;
}

}  // namespace

void shape_noise_spectrum(SpectrumShape& shape, const SpectrumPlan& plan, std::span<const float> gains,
                          rng::DrawSource& draws, std::span<std::complex<float>> row) {
    const std::size_t n = plan.n;
    const std::size_t m = plan.n_freq;
    check_range_end(shape.noise.size(), n);
    check_range_end(shape.window.size(), n);
    check_range_end(shape.amplitude.size(), m);
    check_same_length(row.size(), m);
    check_same_length(gains.size(), m);

    float* noise = shape.noise.data();
    draws.fill_normal({noise, n});
    const float dt = shape.dt;
    fft::correct_baseline({noise, n}, dt, {shape.window.data(), n});
    fft::real_forward({noise, n}, row);

    const float s = sum_of_squared_magnitudes(row);
    const float scale = 1.0f / (dt * std::sqrt(s / static_cast<float>(m)));
    // Noise without energy (a window so short against dt that every sample
    // of it is 0) has none to normalise: its spectrum stays 0, not 0 / 0.
    const double scale_d = s == 0.0f ? 0.0 : static_cast<double>(scale);
    const double* amplitude = shape.amplitude.data();
    for (std::size_t k = 0; k < m; ++k) {
        const double re = static_cast<double>(row[k].real()) * amplitude[k] * scale_d;
        const double im = static_cast<double>(row[k].imag()) * amplitude[k] * scale_d;
        const float g = gains[k];
        row[k] = {static_cast<float>(re) * g, static_cast<float>(im) * g};
    }
}

}  // namespace korvane::stoc
