// Synthesis of one ray: the draws it takes and the fmax of each component.
#include "korvane/synth.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "kit.hpp"
#include "korvane/fft.hpp"
#include "korvane/site.hpp"

using namespace korvane;
using korvane::rng::DrawSource;
using korvane::rng::Variant;

// With the fmax form (kappa 0), components 090 and 000 take fmax and the
// vertical min(fmax, 15), NaN giving 15: the shape left after the ray is the
// vertical's (with kappa > 0 fmax shapes nothing, but each ray still starts
// with a refresh). The ray draws 3n normals, then 10 x 1000 uniforms. The
// site gains are those of the ray's source layer.
TEST(SynthesiseRay, VerticalFmaxCapAndDrawCount) {
    const auto layers = korvane::testing::ray_layers(
        {{0.0001, 0.001, 0.0005, 0.001}, {2.0, 4.5, 2.6, 2.4}, {0.0, 6.0, 3.5, 2.8}});
    std::array<float, 20> ln_grid{};
    for (std::size_t i = 0; i < 20; ++i) ln_grid[i] = std::log(0.01f * std::pow(1.5f, static_cast<float>(i)));
    const std::size_t n = 2048;
    const auto plan = stoc::SpectrumPlan::make(n, 0.01f, 0.5f, 0.2f, 0.05f);
    sim::SegmentFrame frame(n, 20);
    const std::vector<float> u(1000, 0.3f), w(1000, 0.6f);  // the station's deviates
    const struct { float fmax, vertical, kappa; std::size_t layer; } rows[] = {
        {10.0f, 10.0f, 0.0f, 2}, {15.0f, 15.0f, 0.0f, 2}, {20.0f, 15.0f, 0.0f, 1}, {std::nanf(""), 15.0f, 0.0f, 2},
        {20.0f, 15.0f, 0.04f, 2}};
    for (const auto& row : rows) {
        const sim::RayGeometry geo{.strike = 0.1f, .dip = 1.0f, .rake = 1.5f, .azimuth = 2.0f, .takeoff = 2.5f,
                                   .source_layer = row.layer};
        const stoc::WindowParams window{.dt = 0.01f, .eps = 0.2f, .eta = 0.05f, .kappa_s = row.kappa};
        stoc::SourceSpectrumParams src{.distance_km = 20.0f, .window_length_s = 4.0f, .beta_km_s = 3.5f,
                                       .density_g_cm3 = 2.8f, .corner_frequency_hz = 1.0f, .moment_dyne_cm = 1e24f,
                                       .shape_factor = 1.0f, .fmax_hz = 0.0f, .path_t = 0.3f};
        const sim::RayContext ctx{layers, ln_grid, 1000, u, w, row.fmax};
        DrawSource draws = DrawSource::for_key(Variant::Pcg, 99);
        DrawSource twin = draws;
        sim::synthesise_ray(plan, frame, draws, geo, ctx, window, src);
        for (std::size_t i = 0; i < 3 * n; ++i) (void)twin.normal();
        for (std::size_t i = 0; i < 10000; ++i) (void)twin.uniform();
        EXPECT_EQ(draws.next_u32(), twin.next_u32()) << row.fmax;

        auto expected = stoc::SpectrumShape::with_capacity(n);
        src.fmax_hz = row.vertical;
        expected.refresh(plan, window, src);
        EXPECT_TRUE(std::ranges::equal(frame.shape.amplitude, expected.amplitude)) << row.fmax;

        std::array<float, 20> factors;  // the gains are the source layer's, never a previous ray's
        std::vector<float> gains(n / 2 + 1);
        site::site_amplification_factors(layers, row.layer, ln_grid, factors);
        site::site_gain_curve(plan.ln_freqs, ln_grid, factors, gains);
        EXPECT_TRUE(std::ranges::equal(frame.gains(n / 2 + 1), gains)) << row.fmax;
    }
}

// Every row of a frame starts on the transforms' alignment, whatever the
// length, so that the transforms never copy.
TEST(SegmentFrame, RowsAreAlignedForTheTransforms) {
    for (std::size_t n : {6u, 40u, 2048u, 7168u}) {
        sim::SegmentFrame frame(n, 20);
        const auto misaligned =
            [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % fft::kBufferAlignment; };
        EXPECT_EQ(misaligned(frame.shape.noise.data()), 0u) << n;
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_EQ(frame.spectrum_row(c, n).size(), n / 2 + 1);
            EXPECT_EQ(misaligned(frame.spectrum_row(c, n).data()) + misaligned(frame.time_row(c, n).data()), 0u)
                << n << " " << c;
        }
    }
}

// A frame is one reservation of the buffers' bytes, each padded to the
// alignment at most: per sample three time rows plus the window and noise
// (f32); per bin three spectrum rows (complex f32), the target amplitude
// (f64) and the amplitude and gain curves (f32); 20 site factors. One too
// large to allocate names that size (saturated when it overflows).
TEST(SegmentFrame, AllocationFailureNamesItsBytes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer allocators abort on such requests";
#else
    const std::size_t n = std::size_t{1} << 56;  // then a length whose byte count saturates
    for (auto [length, bytes] : {std::pair{n, n * (3 * 4 + 4 + 4) + (n / 2 + 1) * (3 * 8 + 8 + 2 * 4) + 20 * 4},
                                 {n << 6, SIZE_MAX}}) {
        const std::size_t reserved = sim::SegmentFrame::bytes_for(length, 20);
        ASSERT_GE(reserved, bytes) << "length " << length;
        EXPECT_LE(reserved - bytes, bytes == SIZE_MAX ? 0 : 10 * 64) << "length " << length;
        try {
            sim::SegmentFrame frame(length, 20);
            FAIL() << "allocated " << length << " samples";
        } catch (const AllocationFailure& e) {
            EXPECT_EQ(std::string(e.what()), "cannot allocate the working buffers of a " + std::to_string(length) +
                                                 "-sample transform (" + std::to_string(reserved) + " bytes)");
        }
    }
#endif
}
