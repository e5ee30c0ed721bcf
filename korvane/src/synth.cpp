#include "korvane/synth.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>

#include "korvane/fault.hpp"
#include "korvane/fft.hpp"
#include "korvane/radiation.hpp"
#include "korvane/site.hpp"

namespace korvane::fft {

void correct_baseline(std::span<float> a, float dt) {
    const std::size_t n = a.size();
    const float h = dt * 0.5f;
    const float q = (dt * h) / 3.0f;
    float d = 0.0f;  // end displacement of the piecewise-linear acceleration
    float v = 0.0f;  // end velocity
    for (std::size_t i = 0; i + 1 < n; ++i) {
        d = ((a[i] + a[i]) + a[i + 1]) * q + (d + dt * v);
        v = (a[i] + a[i + 1]) * h + v;
    }
    if (n <= 2) return;
    const float t = static_cast<float>(n - 1) * dt;
    const float p = 2.0f / t;
    const float c0 = ((-3.0f / t) * d + v) * p;
    const float c1 = ((p * d - v) * (6.0f / t)) / t;
    for (std::size_t i = 2; i < n; ++i) {
        a[i] = (a[i] + c0) + (static_cast<float>(i) * c1) * dt;
    }
}

}  // namespace korvane::fft

namespace korvane::stoc {

void shape_noise_spectrum(SpectrumShape& shape, const SpectrumPlan& plan, rng::DrawSource& draws,
                          std::span<std::complex<float>> row) {
    const std::size_t n = plan.n;
    const std::size_t m = plan.n_freq;
    check_range_end(shape.noise.size(), n);
    check_range_end(shape.window.size(), n);
    check_range_end(shape.amplitude.size(), m);
    if (row.size() != n) fail("assertion failed: part.equal_dim(dimension)");

    float* noise = shape.noise.data();
    for (std::size_t i = 0; i < n; ++i) noise[i] = draws.normal();
    const float dt = shape.dt;
    fft::correct_baseline({noise, n}, dt);

    const float* window = shape.window.data();
    for (std::size_t i = 0; i < n; ++i) row[i] = {noise[i] * window[i], 0.0f};
    fft::transform(row, true);

    float s = 0.0f;
    for (std::size_t k = 0; k < m; ++k) {
        const float re = row[k].real();
        const float im = row[k].imag();
        s += re * re + im * im;
    }
    const float scale = 1.0f / (dt * std::sqrt(s / static_cast<float>(m)));
    const double scale_d = static_cast<double>(scale);
    const double* amplitude = shape.amplitude.data();
    for (std::size_t k = 0; k < m; ++k) {
        const double re = static_cast<double>(row[k].real()) * amplitude[k] * scale_d;
        const double im = static_cast<double>(row[k].imag()) * amplitude[k] * scale_d;
        row[k] = {static_cast<float>(re), static_cast<float>(im)};
    }
    const std::size_t half = n / 2;
    for (std::size_t j = 0; j + 2 <= half; ++j) row[half + 1 + j] = std::conj(row[half - 1 - j]);
}

}  // namespace korvane::stoc

namespace korvane::sim {

void SegmentFrame::Free::operator()(void* p) const noexcept { std::free(p); }

template <class T>
SegmentFrame::Buffer<T> SegmentFrame::zeroed(std::size_t count, std::size_t rows) {
    // calloc checks rows * count * size itself (an overflow is an allocation
    // failure) and leaves pages that are never touched unmapped.
    void* p = std::calloc(count == 0 ? 1 : count, rows * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return Buffer<T>(static_cast<T*>(p));
}

SegmentFrame::SegmentFrame(std::size_t n, std::size_t n_grid) : n_(n), n_grid_(n_grid) {
    const std::size_t n_freq = n / 2 + 1;
    spectra_ = zeroed<std::complex<float>>(n, 3);
    times_ = zeroed<float>(n, 3);
    amplitude_ = zeroed<float>(n_freq);
    gains_ = zeroed<float>(n_freq);
    site_factors_ = zeroed<float>(n_grid);
    try {
        shape = stoc::SpectrumShape::with_capacity(n);
    } catch (const std::length_error&) {
        throw std::bad_alloc();  // beyond what a vector can address: out of memory all the same
    }
}

void synthesise_ray(const stoc::SpectrumPlan& plan, SegmentFrame& frame, rng::DrawSource& draws,
                    const RayGeometry& ray, const RayContext& ctx, const stoc::WindowParams& window,
                    stoc::SourceSpectrumParams source) {
    const std::size_t n = plan.n;
    const std::size_t m = plan.n_freq;
    check_range_end(frame.capacity(), n);

    // Noise spectra; the target shape is refreshed only when fmax changes
    // (NaN never equals, so a NaN fmax refreshes every component).
    float last_fmax = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t c = 0; c < 3; ++c) {
        float fmax_c = ctx.fmax_hz;
        if (c == 2) fmax_c = (ctx.fmax_hz <= 15.0f) ? ctx.fmax_hz : 15.0f;
        if (!(fmax_c == last_fmax)) {
            source.fmax_hz = fmax_c;
            frame.shape.refresh(plan, window, source);
            last_fmax = fmax_c;
        }
        stoc::shape_noise_spectrum(frame.shape, plan, draws, frame.spectrum_row(c, n));
    }

    // Quarter-wavelength site term of the source layer.
    site::site_amplification_factors(ctx.ray_layers, ray.source_layer, ctx.ln_grid,
                                     frame.site_factors());
    const std::span<float> gains = frame.gains(m);
    site::site_gain_curve(plan.ln_freqs, ctx.ln_grid, frame.site_factors(), gains);
    for (std::size_t c = 0; c < 3; ++c) site::apply_site_amplification(frame.spectrum_row(c, n), gains);

    // Radiation pattern per component, then back to time.
    const radiation::Coefficients exact =
        radiation::radiation_coefficients(ray.rake, ray.dip, ray.takeoff, ray.azimuth - ray.strike);
    const std::span<float> amp = frame.amplitude(m);
    for (std::size_t c = 0; c < 3; ++c) {
        if (c < 2) {
            const float theta = (c == 0) ? -1.5707964f : 0.0f;
            radiation::horizontal_radiation_spectrum(exact.sh, exact.sv, ray.strike, ray.dip, ray.rake,
                                                     ray.azimuth, ray.takeoff, theta, draws,
                                                     ctx.n_deviates, plan.freqs, amp);
        } else {
            radiation::vertical_radiation_spectrum(
                {ray.strike, ray.dip, ray.rake, ray.azimuth, ray.takeoff}, plan.freqs, ctx.deviates_u,
                ctx.deviates_w, ctx.n_deviates, amp);
        }
        stoc::radiate_and_invert(frame.spectrum_row(c, n), amp, frame.time_row(c, n));
    }
}

}  // namespace korvane::sim
