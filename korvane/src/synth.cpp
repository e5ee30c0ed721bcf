#include "korvane/synth.hpp"

#include <sys/mman.h>

#include <cmath>
#include <cstddef>
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

namespace {

// Frames of at least this many bytes are mapped from the system: the pages
// come zeroed and untouched, and go back at once when the frame ends. Smaller
// ones come from calloc, as often reused as the segments follow each other.
constexpr std::size_t kMappedFrameBytes = std::size_t{4} << 20;

// count rounded up to a whole number of aligned blocks of T.
template <class T>
std::size_t aligned_count(std::size_t count) {
    constexpr std::size_t per_block = fft::kBufferAlignment / sizeof(T);
    return saturating_mul(saturating_add(count, per_block - 1) / per_block, per_block);
}

// Appends count entries of T at `end` (bytes, aligned), returns where they start.
template <class T>
std::size_t place(std::size_t& end, std::size_t count) {
    const std::size_t start = end;
    end = saturating_add(end, saturating_mul(aligned_count<T>(count), sizeof(T)));
    return start;
}

// The entries of T that start `offset` bytes into the frame at base.
template <class T>
T* at(std::byte* base, std::size_t offset) {
    return reinterpret_cast<T*>(base + offset);
}

}  // namespace

void SegmentFrame::Release::operator()(void* p) const noexcept {
    if (bytes != 0) {
        munmap(p, bytes);
    } else {
        std::free(p);
    }
}

SegmentFrame::Layout SegmentFrame::layout(std::size_t n, std::size_t n_grid) {
    const std::size_t n_freq = n / 2 + 1;
    Layout l{};
    std::size_t end = 0;
    l.spectra = place<std::complex<float>>(end, saturating_mul(aligned_count<std::complex<float>>(n_freq), 3));
    l.times = place<float>(end, saturating_mul(aligned_count<float>(n), 3));
    l.noise = place<float>(end, n);
    l.window = place<float>(end, n);
    l.target = place<double>(end, n_freq);
    l.amplitude = place<float>(end, n_freq);
    l.gains = place<float>(end, n_freq);
    l.site_factors = place<float>(end, n_grid);
    l.bytes = end;
    return l;
}

std::size_t SegmentFrame::bytes_for(std::size_t n, std::size_t n_grid) { return layout(n, n_grid).bytes; }

SegmentFrame::SegmentFrame(std::size_t n, std::size_t n_grid) : n_(n), n_grid_(n_grid) {
    const std::size_t n_freq = n / 2 + 1;
    bins_stride_ = aligned_count<std::complex<float>>(n_freq);
    samples_stride_ = aligned_count<float>(n);
    const Layout l = layout(n, n_grid);
    // The byte count saturates, so an overflow is an allocation failure; the
    // slack puts a calloc'd block's first row on an aligned address (a
    // mapping starts on a page).
    constexpr std::size_t slack = fft::kBufferAlignment - 1;
    void* p = nullptr;
    std::size_t mapped = 0;
    if (l.bytes >= kMappedFrameBytes && l.bytes < SIZE_MAX / 2) {
        p = mmap(nullptr, l.bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) p = nullptr;
        mapped = l.bytes;
    } else if (l.bytes <= SIZE_MAX - slack) {
        p = std::calloc(l.bytes + slack, 1);
    }
    if (p == nullptr) {
        fail_allocation("the working buffers of a " + std::to_string(n) + "-sample transform", l.bytes);
    }
    block_ = std::unique_ptr<void, Release>(p, Release{mapped});
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(p) + slack) & ~std::uintptr_t{slack};
    std::byte* base = reinterpret_cast<std::byte*>(first);
    spectra_ = at<std::complex<float>>(base, l.spectra);
    times_ = at<float>(base, l.times);
    amplitude_ = at<float>(base, l.amplitude);
    gains_ = at<float>(base, l.gains);
    site_factors_ = at<float>(base, l.site_factors);
    shape = stoc::SpectrumShape::over({at<float>(base, l.window), n}, {at<double>(base, l.target), n_freq},
                                      {at<float>(base, l.noise), n});
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
    const SegmentFrame::GainsKey key{.ln_freqs = plan.ln_freqs.data(),
                                     .n_freq = plan.ln_freqs.size(),
                                     .layers = ctx.ray_layers.data(),
                                     .n_layers = ctx.ray_layers.size(),
                                     .grid = ctx.ln_grid.data(),
                                     .n_grid = ctx.ln_grid.size(),
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
            radiation::horizontal_radiation_spectrum(exact.sh, exact.sv, ray.strike, ray.dip, ray.rake, ray.azimuth,
                                                     ray.takeoff, theta, draws, ctx.n_deviates, plan.freqs, amp);
        } else {
            radiation::vertical_radiation_spectrum({ray.strike, ray.dip, ray.rake, ray.azimuth, ray.takeoff},
                                                   plan.freqs, ctx.deviates_u, ctx.deviates_w, ctx.n_deviates, amp);
        }
        stoc::radiate_and_invert(plan, frame.spectrum_row(c, n), amp, frame.time_row(c, n));
    }
}

}  // namespace

void synthesise_ray(const stoc::SpectrumPlan& plan, SegmentFrame& frame, rng::DrawSource& draws, const RayGeometry& ray,
                    const RayContext& ctx, const stoc::WindowParams& window, stoc::SourceSpectrumParams source) {
    check_range_end(frame.capacity(), plan.n);
    // The gains take no draws, so forming them first changes no stream.
    const std::span<const float> gains = site_gains(plan, frame, ray.source_layer, ctx);
    shape_noise_spectra(plan, frame, gains, draws, ctx, window, source);
    radiate_components(plan, frame, draws, ray, ctx);
}

}  // namespace korvane::sim
