// Component synthesis of one ray, the stochastic method of Boore (1983): for
// each of the three components (090, 000, vertical) Gaussian noise is
// baseline-corrected, windowed in time (Saragoni and Hart 1974), transformed
// and normalised to the ray's target Fourier amplitude spectrum of
// acceleration, multiplied by the quarter-wavelength site gains of the source
// layer (Boore and Joyner 1997) and by the component's radiation amplitude,
// and transformed back into a time row of the ray's plan length.
//
// Units: cm/s^2 for the time rows, Hz, s, km; angles in radians, take-off
// from the downward vertical. A component's fmax caps its target spectrum;
// the vertical's is at most 15 Hz.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <memory>
#include <span>

#include "korvane/rng.hpp"
#include "korvane/state.hpp"
#include "korvane/stoc.hpp"

namespace korvane::sim {

// Working buffers of one segment, sized once for the segment's plan length
// and reused by every ray of the segment (each ray uses a prefix). All of
// them, the spectrum shape's included, sit in one zeroed reservation whose
// size bytes_for gives before any of it is had; a large one is mapped from
// the system, so pages a ray never reaches are never touched, and goes back
// to it whole when the frame ends. Every row starts on a kBufferAlignment
// boundary, so the transforms run on the rows where they are.
class SegmentFrame {
public:
    // Throws AllocationFailure naming the transform length and the bytes.
    SegmentFrame(std::size_t n, std::size_t n_grid);

    // Bytes of the reservation of a frame for plan length n (saturating).
    static std::size_t bytes_for(std::size_t n, std::size_t n_grid);

    std::size_t capacity() const { return n_; }
    // Bins 0 .. n/2 of component c's spectrum for plan length n.
    std::span<std::complex<float>> spectrum_row(std::size_t c, std::size_t n) const {
        return {spectra_ + c * bins_stride_, n / 2 + 1};
    }
    std::span<float> time_row(std::size_t c, std::size_t n) const { return {times_ + c * samples_stride_, n}; }
    std::span<float> amplitude(std::size_t n_freq) const { return {amplitude_, n_freq}; }
    std::span<float> gains(std::size_t n_freq) const { return {gains_, n_freq}; }
    std::span<float> site_factors() const { return {site_factors_, n_grid_}; }

    stoc::SpectrumShape shape;

    // Which site gains gains() holds: those over the bins of the plan whose
    // log frequencies sit at ln_freqs, for the source layer of the layer model
    // and the site grid at these addresses. The synthesis forms the gains only
    // when a ray's key differs from the one before (the rays of one subfault,
    // and neighbouring subfaults, mostly share it); the plans, layer model and
    // grid of a station run never change under its frames.
    struct GainsKey {
        const float* ln_freqs = nullptr;
        std::size_t n_freq = 0;
        const state::RayLayer* layers = nullptr;
        std::size_t n_layers = 0;
        const float* grid = nullptr;
        std::size_t n_grid = 0;
        std::size_t source_layer = 0;
        bool operator==(const GainsKey&) const = default;
    };
    GainsKey gains_key;

private:
    // Offsets (bytes) of the buffers in the reservation, and its size.
    struct Layout {
        std::size_t spectra, times, noise, window, target, amplitude, gains, site_factors, bytes;
    };
    static Layout layout(std::size_t n, std::size_t n_grid);

    struct Release {
        std::size_t bytes;  // of a mapping; 0 for a block from calloc
        void operator()(void* p) const noexcept;
    };
    std::unique_ptr<void, Release> block_{nullptr, Release{0}};
    std::size_t n_ = 0;
    std::size_t n_grid_ = 0;
    std::size_t bins_stride_ = 0;             // complex entries from one spectrum row to the next
    std::size_t samples_stride_ = 0;          // floats from one time row to the next
    std::complex<float>* spectra_ = nullptr;  // 3 rows of n/2 + 1 bins
    float* times_ = nullptr;                  // 3 rows of n
    float* amplitude_ = nullptr;              // n/2 + 1
    float* gains_ = nullptr;                  // n/2 + 1
    float* site_factors_ = nullptr;           // n_grid
};

// What one ray needs besides the plan, the frame and its stream.
struct RayGeometry {
    float strike = 0.0f;   // rad
    float dip = 0.0f;      // rad
    float rake = 0.0f;     // rad
    float azimuth = 0.0f;  // subfault -> station, rad
    float takeoff = 0.0f;  // rad from the downward vertical
    std::size_t source_layer = 0;
};

struct RayContext {
    std::span<const state::RayLayer> ray_layers;
    std::span<const float> ln_grid;
    std::size_t n_deviates = 0;
    std::span<const float> deviates_u;  // the station's first list
    std::span<const float> deviates_w;  // the station's second list
    float fmax_hz = 0.0f;
};

// Synthesises components 090, 000 and vertical of one ray into the first
// plan.n samples of the frame's three time rows. Draws 3n normals, then
// 2 x 5 x n_deviates uniforms from `draws`.
void synthesise_ray(const stoc::SpectrumPlan& plan, SegmentFrame& frame, rng::DrawSource& draws, const RayGeometry& ray,
                    const RayContext& ctx, const stoc::WindowParams& window, stoc::SourceSpectrumParams source);

}  // namespace korvane::sim
