// Spectral side of the stochastic method (Boore 1983, "Stochastic simulation of
// high-frequency ground motions based on seismological models of the radiated
// spectra", BSSA 73; Boore 2003, "Simulation of ground motion using the
// stochastic method", Pure Appl. Geophys. 160): windowed Gaussian noise is
// given the Fourier amplitude of an omega-squared source seen through the path.
//
// This module holds the per-length spectrum plans and their per-run cache, the
// reusable target shape (the unit-energy time window of Saragoni & Hart 1974,
// "Simulation of artificial earthquakes", Earthquake Eng. Struct. Dyn. 2, and
// the target Fourier amplitude of acceleration) and the last spectral step of
// a component (radiation amplitude, inverse transform, scaling, end taper).
//
// Units: km, km/s, g/cm^3, dyne*cm, Hz, s; distances and velocities are turned
// into cm inside, so the target amplitude is a Fourier amplitude of
// acceleration in cm/s and the synthesised series come out in cm/s^2. All
// arithmetic is f32 in a fixed operation order, except where a field or a
// comment says double.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "korvane/fft.hpp"
#include "korvane/rng.hpp"

namespace korvane::stoc {

// Exponent b of the window t^b e^(-ct) that peaks at eps times the window
// length and has fallen to eta of its peak at the end: (ln(eta) * -eps) /
// ((ln(eps) - 1) * eps + 1) in f32. eps = 0.2, eta = 0.05 give 1.2531499.
float window_exponent(float eps, float eta);

// Everything about one transform length n (even, >= 2) that depends on neither
// the subfault nor the ray. Immutable once built.
struct SpectrumPlan {
    std::vector<float> freqs;     // n_freq: f_k = k * (1 / (n * dt)), Hz; f_(n/2) = Nyquist
    std::vector<float> ln_freqs;  // n_freq: ln f_k; -inf at k = 0
    std::vector<float> freq_pow;  // n_freq: f_k^(1 - q_exp)
    std::vector<float> time_pow;  // n: (i * dt)^b, b = window_exponent(eps, eta)
    std::vector<float> taper;     // n / 10: the end taper's factors, falling to exactly 0
    std::size_t n = 0;            // transform length
    std::size_t n_freq = 0;       // n / 2 + 1

    // Stops with "a spectrum plan needs an even length of at least 2, got {n}"
    // for n < 2 or odd n.
    static SpectrumPlan make(std::size_t n, float dt, float q_exp, float eps, float eta);
};

// One station run's plans, one per length met; entries are only ever added.
struct PlanCache {
    std::unordered_map<std::size_t, SpectrumPlan> plans;
    float dt = 0.0f;     // sample interval, s
    float q_exp = 0.0f;  // the station's Q frequency exponent
    float eps = 0.0f;    // window peak position as a fraction of its length
    float eta = 0.0f;    // window level at its end

    PlanCache(float dt_, float q_exp_, float eps_, float eta_) : dt(dt_), q_exp(q_exp_), eps(eps_), eta(eta_) {}

    // The cached plan of length n, built on first request. The reference
    // stays valid until the cache changes again (map nodes never move). A
    // build that stops inserts nothing.
    const SpectrumPlan& for_length(std::size_t n);
};

struct WindowParams {
    float dt = 0.0f;       // s
    float eps = 0.0f;      // epsilon
    float eta = 0.0f;      // eta
    float kappa_s = 0.0f;  // the station's kappa, s
};

// Whether a refresh depends on the source's fmax_hz: only in the fmax form of
// the high-frequency diminution (kappa <= 0). With kappa > 0 (or NaN),
// exp(-pi kappa f) stands in its place, and shapes refreshed with different
// fmax are identical.
bool uses_fmax(const WindowParams& win);

struct SourceSpectrumParams {
    float distance_km = 0.0f;          // path length R, km
    float window_length_s = 0.0f;      // Tw, s
    float beta_km_s = 0.0f;            // source-layer shear velocity, km/s
    float density_g_cm3 = 0.0f;        // source-layer density, g/cm^3
    float corner_frequency_hz = 0.0f;  // fc, Hz
    float moment_dyne_cm = 0.0f;       // M, dyne*cm
    float shape_factor = 0.0f;         // low-frequency weight s
    float fmax_hz = 0.0f;              // high-frequency limit of the component, Hz
    float path_t = 0.0f;               // path attenuation coefficient T, s
};

// Reusable buffers of one segment, views of memory the segment's frame
// holds (or, from with_capacity, of the shape's own): window and noise have
// the capacity, amplitude capacity / 2 + 1 entries; a refresh with plan
// length n uses window[0, n) and amplitude[1, n/2 + 1). amplitude[0] is
// never written and stays 0. The noise is aligned for the transforms, which
// read it where it is.
struct SpectrumShape {
    std::span<float> window;      // unit-energy time window, one value per sample
    std::span<double> amplitude;  // target Fourier amplitude per frequency bin
    std::span<float> noise;       // windowed white noise of the current component
    float dt = 0.0f;              // dt of the last refresh (0 before the first)

    // A shape over buffers the caller keeps alive, zeroed, sized as above.
    static SpectrumShape over(std::span<float> window, std::span<double> amplitude, std::span<float> noise);
    // A shape that owns zeroed buffers of capacity cap.
    static SpectrumShape with_capacity(std::size_t cap);

    // Fills the window and the target amplitude for plan.n samples. The plan
    // must have been built with the same dt, eps and eta as win. A plan longer
    // than the capacity stops the call before anything is written. Values are
    // not validated; NaN and inf flow on. Allocates nothing.
    void refresh(const SpectrumPlan& plan, const WindowParams& win, const SourceSpectrumParams& src);

private:
    struct Owned {
        std::vector<float> window;
        std::vector<double> amplitude;
        fft::AlignedVector<float> noise;
    };
    std::unique_ptr<Owned> owned_;
};

// Multiplies row, bins 0 .. n/2 of a Hermitian spectrum (n = plan.n), by the
// radiation amplitude per bin, and writes into out the real series of that
// spectrum over 1 / (n 0.4473), the last n / 10 samples tapered by the plan's
// half cosine to exactly 0. The imaginary parts of bins 0 and n/2 are not
// read. A row or amp of other than plan.n_freq bins, or an out of other than
// n samples, stops the call. Afterwards row's contents are unspecified (the
// inverse transform works in it).
void radiate_and_invert(const SpectrumPlan& plan, std::span<std::complex<float>> row, std::span<const float> amp,
                        std::span<float> out);

// Fills row (exactly plan.n_freq bins, 0 .. n/2) with the non-negative half of
// the spectrum of fresh Gaussian noise, baseline-corrected, windowed,
// normalised to a mean squared magnitude of 1/dt^2 over these bins, shaped by
// the target amplitude and multiplied by gains (plan.n_freq site gains, each
// product rounded to f32 before its gain); the negative bins, not stored, are
// the conjugate mirror. Windowed noise of no energy gives a row of zeros.
// Leaves the windowed noise in shape.noise.
void shape_noise_spectrum(SpectrumShape& shape, const SpectrumPlan& plan, std::span<const float> gains,
                          rng::DrawSource& draws, std::span<std::complex<float>> row);

}  // namespace korvane::stoc
