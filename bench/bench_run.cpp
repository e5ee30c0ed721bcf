// End-to-end benchmark of the station run on a realistic scenario, printed in
// one run: ms per station, ms per ray, the station cost against the sum of
// the rays' mandatory kernels and against the sum of their irreducible work
// (both measured here, at the plan lengths the run used), and heap
// allocations per station (counted by replacing global operator new): a
// constant per station (deviates, plans, per-segment buffers), none per ray.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "korvane/fft.hpp"
#include "korvane/radiation.hpp"
#include "korvane/rng.hpp"
#include "korvane/sim.hpp"
#include "korvane/site.hpp"
#include "korvane/stoc.hpp"

// The replacement pair below is malloc/free on both sides; GCC cannot see that
// through inlined std::allocator calls and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<std::size_t> g_allocations{0};
}

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, std::align_val_t align) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const auto a = static_cast<std::size_t>(align);
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

using namespace korvane;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// One segment of 15 x 8 subfaults of 2 km, rayset [1, 2], 100 s at dt 0.01.
sim::Simulator scenario() {
    std::vector<input::InputLayer> in = {{3.5, 2.0, 2.3, 0.0f, 1.0f, 200.0f, 100.0f},
                                         {5.6, 3.2, 2.6, 0.0f, 4.0f, 400.0f, 200.0f},
                                         {6.2, 3.6, 2.75, 0.0f, 10.0f, 600.0f, 300.0f},
                                         {6.6, 3.8, 2.9, 0.0f, 17.0f, 800.0f, 400.0f},
                                         {8.0, 4.6, 3.3, 0.0f, 0.0f, 1000.0f, 500.0f}};
    const std::size_t n_along = 15, n_down = 8;
    std::vector<input::Subfault> cells(n_along * n_down);
    for (std::size_t r = 0; r < n_down; ++r) {
        for (std::size_t c = 0; c < n_along; ++c) {
            const float x = (static_cast<float>(c) - 7.0f) * 2.0f;
            const float y = (static_cast<float>(r) - 3.5f) * 2.0f;
            const float slip = 150.0f * std::exp(-(x * x) / 200.0f - (y * y) / 60.0f) + 5.0f;
            cells[r * n_along + c] = {slip, 1.5f, std::sqrt(x * x + y * y) / 2.8f, 50.0f};
        }
    }
    std::vector<input::Segment> segs;
    segs.emplace_back(n_along, n_down, std::move(cells), 20.0f, 38.0f, 2.0f, 2.0f, 45.0f, 50.0f, 90.0f, 2.0f, 15.0f,
                      8.0f);
    const sim::HfConfig cfg{.path = {.rayset = {1, 2}, .path_duration_model = 0},
                            .source = {.rupture_velocity_fraction = 0.8f,
                                       .rupture_velocity_shallow = 0.6f,
                                       .rupture_velocity_deep = 1.0f,
                                       .rupture_velocity_sigma = 0.1f,
                                       .corner_frequency_constant = 1.68f,
                                       .corner_frequency_alpha = 0.0f},
                            .record = {.duration_s = 100.0f, .dt = 0.01f},
                            .site = {.fmax_hz = 10.0f}};
    return std::move(sim::Simulator::create(cfg, input::StochModel(std::move(segs)),
                                            input::build_velocity_model(in, 4.5).value()))
        .value();
}

// Mean time (s) of the mandatory kernels of one ray of plan length n.
double kernel_seconds(const sim::Simulator& s, std::size_t n, int reps) {
    const std::size_t m = n / 2 + 1;
    const auto plan = stoc::SpectrumPlan::make(n, s.dt, 0.6f, s.eps, s.eta);
    auto shape = stoc::SpectrumShape::with_capacity(n);
    fft::AlignedVector<std::complex<float>> rows(3 * m);
    fft::AlignedVector<float> noise(n), times(3 * n);
    std::vector<float> amp(m), gains(m), factors(20), u(1000), w(1000);
    rng::DrawSource draws = rng::DrawSource::for_key(rng::Variant::Pcg, 1);
    for (float& x : u) x = draws.uniform();
    for (float& x : w) x = draws.uniform();
    const stoc::WindowParams win{.dt = s.dt, .eps = s.eps, .eta = s.eta, .kappa_s = 0.04f};
    const stoc::SourceSpectrumParams src{.distance_km = 30.0f,
                                         .window_length_s = 8.0f,
                                         .beta_km_s = 3.6f,
                                         .density_g_cm3 = 2.8f,
                                         .corner_frequency_hz = 0.8f,
                                         .moment_dyne_cm = 1e24f,
                                         .shape_factor = 1.0f,
                                         .fmax_hz = 10.0f,
                                         .path_t = 0.2f};
    float sink = 0.0f;
    const auto t0 = Clock::now();
    for (int rep = 0; rep < reps; ++rep) {
        shape.refresh(plan, win, src);
        site::site_amplification_factors(s.ray_layers, 2, s.ln_grid, factors);
        site::site_gain_curve(plan.ln_freqs, s.ln_grid, factors, gains);
        const auto exact = radiation::radiation_coefficients(1.5f, 0.9f, 2.5f, 0.4f);
        for (std::size_t c = 0; c < 3; ++c) {
            std::span<std::complex<float>> row(rows.data() + c * m, m);
            draws.fill_normal(noise);
            fft::correct_baseline(noise, s.dt);
            fft::real_forward(noise, row);
            for (std::size_t k = 0; k < m; ++k) row[k] *= gains[k];
            if (c < 2) {
                radiation::horizontal_radiation_spectrum(exact.sh, exact.sv, 0.8f, 0.9f, 1.5f, 1.2f, 2.5f,
                                                         c == 0 ? -1.5707964f : 0.0f, draws, 1000, plan.freqs, amp);
            } else {
                radiation::vertical_radiation_spectrum({0.8f, 0.9f, 1.5f, 1.2f, 2.5f}, plan.freqs, u, w, 1000, amp);
            }
            fft::real_inverse(row, {times.data() + c * n, n});
        }
        sink += amp[1] + gains[1] + times[n];
    }
    const double elapsed = seconds_since(t0) / reps;
    if (sink == 12345.0f) std::puts("");
    return elapsed;
}

// Mean time (s) of the work no ray of plan length n can skip: 3n normal draws
// and, per component, the real forward and the real inverse transform.
double irreducible_seconds(std::size_t n, int reps) {
    const std::size_t m = n / 2 + 1;
    fft::AlignedVector<float> noise(3 * n), times(3 * n);
    fft::AlignedVector<std::complex<float>> rows(3 * m);
    rng::DrawSource draws = rng::DrawSource::for_key(rng::Variant::Pcg, 1);
    float sink = 0.0f;
    const auto t0 = Clock::now();
    for (int rep = 0; rep < reps; ++rep) {
        draws.fill_normal(noise);
        for (std::size_t c = 0; c < 3; ++c) {
            fft::real_forward({noise.data() + c * n, n}, {rows.data() + c * m, m});
        }
        for (std::size_t c = 0; c < 3; ++c) {
            fft::real_inverse({rows.data() + c * m, m}, {times.data() + c * n, n});
        }
        sink += times[n];
    }
    const double elapsed = seconds_since(t0) / reps;
    if (sink == 12345.0f) std::puts("");
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const int station_reps = argc > 1 ? std::atoi(argv[1]) : 3;
    const sim::Simulator s = scenario();
    const float km[] = {10.0f, 40.0f, 100.0f};
    std::printf("scenario: 15 x 8 subfaults of 2 km, rayset [1, 2], %zu samples at dt %.3g s\n", s.n_time,
                static_cast<double>(s.dt));
    std::printf("%8s %12s %8s %10s %12s %12s %12s %16s %14s\n", "km", "ms/station", "rays", "ms/ray", "kernels ms",
                "ray/kernels", "irred. ms", "ray/irreducible", "allocs/station");
    for (const float d : km) {
        const sim::Station st{20.0f + d / 87.8f, 38.0f, 0.04f, 0.6f};
        std::vector<float> rows(3 * s.n_time);
        sim::RecordRows out;
        for (std::size_t c = 0; c < 3; ++c) out.rows[c] = {rows.data() + c * s.n_time, s.n_time};
        sim::RunStats stats;
        s.run_into(st, 1, out, &stats);  // warm-up: plans, and the ray census
        std::size_t rays = 0;
        for (const auto& [n, count] : stats.rays_by_length) rays += count;

        const std::size_t allocs0 = g_allocations.load();
        const auto t0 = Clock::now();
        for (int rep = 0; rep < station_reps; ++rep) {
            std::fill(rows.begin(), rows.end(), 0.0f);
            s.run_into(st, static_cast<std::uint64_t>(rep) + 2, out);
        }
        const double per_station = seconds_since(t0) / station_reps;
        const double allocs_per_station = static_cast<double>(g_allocations.load() - allocs0) / station_reps;

        double kernels = 0.0, irreducible = 0.0;
        for (const auto& [n, count] : stats.rays_by_length) {
            kernels += kernel_seconds(s, n, 20) * static_cast<double>(count);
            irreducible += irreducible_seconds(n, 40) * static_cast<double>(count);
        }
        const double per_ray = per_station / static_cast<double>(rays);
        const double ray_count = static_cast<double>(rays);
        std::printf("%8.0f %12.2f %8zu %10.4f %12.4f %12.3f %12.4f %16.3f %14.1f\n", static_cast<double>(d),
                    per_station * 1e3, rays, per_ray * 1e3, kernels / ray_count * 1e3, per_station / kernels,
                    irreducible / ray_count * 1e3, per_station / irreducible, allocs_per_station);
    }
    std::printf(
        "ray/kernels: station time over the summed cost of each ray's mandatory kernels "
        "(one refresh, the site factors and gain curve, and per component n normals, the "
        "baseline correction, the site gains, the radiation, the real forward and inverse "
        "transforms of length n); target <= 1.3\n");
    std::printf(
        "ray/irreducible: station time over the summed cost of each ray's irreducible work "
        "(3n normals, 3 real forward and 3 real inverse transforms of length n); "
        "aim <= 1.15\n");
    return 0;
}
