// The baseline correction of the noise series, by hand and against the recurrence in double.
#include "korvane/fft.hpp"

#include <gtest/gtest.h>

#include <random>

// Reference values are computed in double from f32 data.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

using korvane::fft::correct_baseline;

// Samples 0 and 1 are kept; from sample 2 on the line c0 + c1 t is added that, added to every sample, would
// bring the piecewise-linear series to rest. Worked by hand, for any dt: a unit first sample gives
// c0 = -5/9, c1 = 7/(27 dt); a unit second sample c0 = -2/3, c1 = 2/(9 dt); of three, c0 = -1/2, c1 = 0.
TEST(Baseline, ThreeAndFourSamples) {
    for (float dt : {1.0f, 0.5f, 0.01f}) {
        for (const auto& [given, want] :
             {std::pair{std::vector<float>{1, 0, 0, 0}, std::vector{1., 0., -1 / 27., 2 / 9.}},
              {{0, 1, 0, 0}, {0, 1, -2 / 9.0, 0}}, {{0, 1, 0}, {0, 1, -0.5}}}) {
            std::vector<float> a = given;
            a.push_back(99.0f);  // past the end: untouched
            correct_baseline(std::span(a).first(given.size()), dt);
            for (std::size_t i = 0; i <= given.size(); ++i) {
                EXPECT_NEAR(a[i], i < given.size() ? want[i] : 99.0, 1e-5) << "dt " << dt << ", sample " << i;
            }
        }
    }
}

// Long series against the recurrence run in double: small integer samples keep every f32 partial sum exact
// whatever its order, so only the last few roundings separate the two, and a sample given a wrong weight
// moves the line far beyond the tolerance. Lengths cover the lanes, their tail and both together. The
// windowed correction gives the same bytes as the correction followed by the window.
TEST(Baseline, LongSeriesMatchTheRecurrenceInDouble) {
    std::mt19937 gen(5);
    std::uniform_int_distribution<int> pick(-3, 3);
    for (std::size_t n : {5u, 8u, 9u, 23u, 1000u, 4099u}) {
        std::vector<float> a(n);
        for (float& x : a) x = static_cast<float>(pick(gen));
        const double dt = 0.01, h = dt / 2, q = dt * h / 3, t = static_cast<double>(n - 1) * dt;
        double d = 0, v = 0;
        for (std::size_t i = 0; i + 1 < n; ++i) d += (2.0 * a[i] + a[i + 1]) * q + dt * v, v += (a[i] + a[i + 1]) * h;
        const double c0 = (-3 / t * d + v) * 2 / t, c1 = (2 / t * d - v) * 6 / (t * t);
        std::vector<float> b = a, windowed = a, window(n);
        for (float& w : window) w = 0.25f * static_cast<float>(pick(gen));
        correct_baseline(b, static_cast<float>(dt));
        correct_baseline(windowed, static_cast<float>(dt), window);
        for (std::size_t i = 0; i < n; ++i) {
            const double want = a[i] + (i < 2 ? 0.0 : c0 + static_cast<double>(i) * c1 * dt);
            ASSERT_NEAR(b[i], want, 2e-6) << "n " << n << ", sample " << i;
            ASSERT_EQ(windowed[i], b[i] * window[i]) << "windowed, n " << n << ", sample " << i;
        }
    }
}
