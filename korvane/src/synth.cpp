#include "korvane/synth.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>

#include "korvane/angles.hpp"
#include "korvane/fault.hpp"
#include "korvane/fft.hpp"
#include "korvane/radiation.hpp"
#include "korvane/site.hpp"

namespace korvane::sim {

void SegmentFrame::Free::operator()(void* p) const noexcept { std::free(p); }

template <class T>
SegmentFrame::Buffer<T> SegmentFrame::zeroed(std::size_t count, std::size_t rows) {
    // The byte count saturates, so an overflow is an allocation failure;
    // calloc leaves pages that are never touched unmapped; the slack puts the
    // first row on an aligned address.
    constexpr std::size_t slack = fft::kBufferAlignment - 1;
    const std::size_t bytes = saturating_mul(saturating_mul(count == 0 ? 1 : count, rows), sizeof(T));
    if (bytes > SIZE_MAX - slack) throw std::bad_alloc();
    void* p = std::calloc(bytes + slack, 1);
    if (p == nullptr) throw std::bad_alloc();
    Buffer<T> b;
    b.raw.reset(p);
    const std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(p) + slack) & ~std::uintptr_t{slack};
    b.data = reinterpret_cast<T*>(at);
    return b;
}

namespace {

// count rounded up to a whole number of aligned blocks of T.
template <class T>
std::size_t aligned_count(std::size_t count) {
    constexpr std::size_t per_block = fft::kBufferAlignment / sizeof(T);
    return saturating_mul(saturating_add(count, per_block - 1) / per_block, per_block);
}

}  // namespace

SegmentFrame::SegmentFrame(std::size_t n, std::size_t n_grid) : n_(n), n_grid_(n_grid) {
    const std::size_t n_freq = n / 2 + 1;
    bins_stride_ = aligned_count<std::complex<float>>(n_freq);
    samples_stride_ = aligned_count<float>(n);
    // Per sample three time rows and the spectrum shape's window, amplitude
    // and noise; per bin three spectrum rows and the amplitude and gain curves.
    const std::size_t per_sample = 3 * sizeof(float) + sizeof(float) + sizeof(double) + sizeof(float);
    const std::size_t per_bin = 3 * sizeof(std::complex<float>) + 2 * sizeof(float);
    const std::size_t bytes = saturating_add(saturating_mul(n, per_sample), saturating_mul(n_freq, per_bin));
    allocating([n] { return "the working buffers of a " + std::to_string(n) + "-sample transform"; },
               bytes, [&] {
                   spectra_ = zeroed<std::complex<float>>(bins_stride_, 3);
                   times_ = zeroed<float>(samples_stride_, 3);
                   amplitude_ = zeroed<float>(n_freq);
                   gains_ = zeroed<float>(n_freq);
                   site_factors_ = zeroed<float>(n_grid);
                   shape = stoc::SpectrumShape::with_capacity(n);
               });
}

namespace {

// The vertical component is shaped up to this frequency at most, Hz.
constexpr float kVerticalFmaxCapHz = 15.0f;

// Projection angle of component 090 (east), rad; 000 (north) is 0.
constexpr float kEastProjectionRad = -kHalfPi;

// Quarter-wavelength site gains of the source layer over the plan's bins: a
// function of the plan, the layer and the model alone, so the frame's gains
// serve again while they stay the same.
std::span<const float> site_gains(const stoc::SpectrumPlan& plan, SegmentFrame& frame, std::size_t source_layer,
                                  const RayContext& ctx) {
    const std::span<float> gains = frame.gains(plan.n_freq);
    const SegmentFrame::GainsKey key{.ln_freqs = plan.ln_freqs.data(), .n_freq = plan.ln_freqs.size(),
                                     .layers = ctx.ray_layers.data(), .n_layers = ctx.ray_layers.size(),
                                     .grid = ctx.ln_grid.data(), .n_grid = ctx.ln_grid.size(),
                                     .source_layer = source_layer};
    if (key == frame.gains_key) return gains;
    frame.gains_key = {};  // until the new gains are complete
    site::site_amplification_factors(ctx.ray_layers, source_layer, ctx.ln_grid, frame.site_factors());
    site::site_gain_curve(plan.ln_freqs, ctx.ln_grid, frame.site_factors(), gains);
    frame.gains_key = key;
    return gains;
}

// Noise spectra of the three components, each with the site gains applied
// as its last step. Every ray starts with a refresh of the target shape;
// after that a component refreshes only when its fmax differs from the
// previous one's (NaN never equals, so a NaN fmax refreshes every component)
// and the shape depends on fmax at all (with kappa > 0 it does not, and the
// refresh would give the same shape again).
void shape_noise_spectra(const stoc::SpectrumPlan& plan, SegmentFrame& frame, std::span<const float> gains,
                         rng::DrawSource& draws, const RayContext& ctx, const stoc::WindowParams& window,
                         stoc::SourceSpectrumParams source) {
    float last_fmax = std::numeric_limits<float>::quiet_NaN();
    const bool fmax_shapes = stoc::uses_fmax(window);
    for (std::size_t c = 0; c < 3; ++c) {
        float fmax_c = ctx.fmax_hz;
        if (c == 2) fmax_c = (ctx.fmax_hz <= kVerticalFmaxCapHz) ? ctx.fmax_hz : kVerticalFmaxCapHz;
        if (c == 0 || (fmax_shapes && !(fmax_c == last_fmax))) {
            source.fmax_hz = fmax_c;
            frame.shape.refresh(plan, window, source);
            last_fmax = fmax_c;
        }
        stoc::shape_noise_spectrum(frame.shape, plan, gains, draws, frame.spectrum_row(c, plan.n));
    }
}

// Radiation amplitude of each component in turn, each spectrum then brought
// back to time: the horizontals average over perturbed angles drawn from the
// ray's stream, the vertical over the station's deviates.
void radiate_components(const stoc::SpectrumPlan& plan, SegmentFrame& frame, rng::DrawSource& draws,
                        const RayGeometry& ray, const RayContext& ctx) {
    const std::size_t n = plan.n;
    const radiation::Coefficients exact =
        radiation::radiation_coefficients(ray.rake, ray.dip, ray.takeoff, ray.azimuth - ray.strike);
    const std::span<float> amp = frame.amplitude(plan.n_freq);
    for (std::size_t c = 0; c < 3; ++c) {
        if (c < 2) {
            const float theta = (c == 0) ? kEastProjectionRad : 0.0f;
            radiation::horizontal_radiation_spectrum(exact.sh, exact.sv, ray.strike, ray.dip, ray.rake,
                                                     ray.azimuth, ray.takeoff, theta, draws,
                                                     ctx.n_deviates, plan.freqs, amp);
        } else {
            radiation::vertical_radiation_spectrum(
                {ray.strike, ray.dip, ray.rake, ray.azimuth, ray.takeoff}, plan.freqs, ctx.deviates_u,
                ctx.deviates_w, ctx.n_deviates, amp);
        }
        stoc::radiate_and_invert(plan, frame.spectrum_row(c, n), amp, frame.time_row(c, n));
    }
}

}  // namespace

void synthesise_ray(const stoc::SpectrumPlan& plan, SegmentFrame& frame, rng::DrawSource& draws,
                    const RayGeometry& ray, const RayContext& ctx, const stoc::WindowParams& window,
                    stoc::SourceSpectrumParams source) {
    check_range_end(frame.capacity(), plan.n);
    // The gains take no draws, so forming them first changes no stream.
    const std::span<const float> gains = site_gains(plan, frame, ray.source_layer, ctx);
    shape_noise_spectra(plan, frame, gains, draws, ctx, window, source);
    radiate_components(plan, frame, draws, ray, ctx);
}

}  // namespace korvane::sim
