// The baseline correction of the noise series: time-domain work that every
// component's noise goes through before its forward transform (sums over the
// samples and one pass to add the line; no transform).
#include "korvane/fft.hpp"

#include "korvane/fault.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane::fft {

namespace {

// Independent partial sums per quantity in end_state: two SSE registers
// each, so that no add waits on the one before it.
constexpr std::size_t kLanes = 8;

struct EndState {
    float d;  // end displacement
    float v;  // end velocity
};

// End state of the piecewise-linear acceleration a (n >= 2 samples, step dt,
// at rest at t = 0). The steps v' = v + h (a_i + a_(i+1)) and d' = d + dt v +
// q (2 a_i + a_(i+1)) (h = dt / 2, q = dt^2 / 6) over the m = n - 1
// intervals sum to
//   v = h (2 A - a_0 - a_m),  d = q (3 A - a_0 - 2 a_m) + dt h W,
//   W = (m - 1) A + B - m a_0 + a_m,  A = sum a_k,  B = sum (m - 2k) a_k,
// two sums over the samples that run in kLanes independent lanes instead of
// one chain; the weights of B, centred on zero, keep its partial sums small.
// The weights are integers, exact in f32 below 2^24.
EndState end_state(const float* a, std::size_t n, float dt) {
    const std::size_t m = n - 1;
    const float fm = static_cast<float>(m);
    float sa[kLanes] = {}, sb[kLanes] = {}, w[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) w[l] = fm - static_cast<float>(2 * l);
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            sa[l] += a[i + l];
            sb[l] += w[l] * a[i + l];
            w[l] -= static_cast<float>(2 * kLanes);
        }
    }
    // Pairwise, in a fixed order; the tail after the lanes.
    for (std::size_t half = kLanes / 2; half > 0; half /= 2) {
        for (std::size_t l = 0; l < half; ++l) {
            sa[l] += sa[l + half];
            sb[l] += sb[l + half];
        }
    }
    float sum_a = sa[0], sum_b = sb[0];
    for (; i < n; ++i) {
        sum_a += a[i];
        sum_b += (fm - static_cast<float>(2 * i)) * a[i];
    }
    const float first = a[0], last = a[m];
    const float s_p = ((sum_a + sum_a) - first) - last;
    const float s_e = ((sum_a * 3.0f) - first) - (last + last);
    const float s_w = ((static_cast<float>(m - 1) * sum_a + sum_b) - fm * first) + last;
    const float h = dt * 0.5f;
    const float q = (dt * h) / 3.0f;
    return {.d = s_e * q + s_w * (dt * h), .v = s_p * h};
}

// a[i] += c0 + i c1 dt for i in [2, n), then, when a window is given, a[i] *=
// window[i] for every i; the index converted through I so that the
// conversion vectorises when n fits in 32 bits (same value either way).
template <class I>
void add_line(float* a, std::size_t n, float c0, float c1, float dt, const float* window) {
    const I end = static_cast<I>(n);
    if (window == nullptr) {
        for (I i = 2; i < end; ++i) a[i] = (a[i] + c0) + (static_cast<float>(i) * c1) * dt;
        return;
    }
    for (I i = 0; i < 2 && i < end; ++i) a[i] = a[i] * window[i];
    for (I i = 2; i < end; ++i) a[i] = ((a[i] + c0) + (static_cast<float>(i) * c1) * dt) * window[i];
}

void correct(std::span<float> a, float dt, const float* window) {
    const std::size_t n = a.size();
    float c0 = 0.0f, c1 = 0.0f;
    if (n > 2) {
        const auto [d, v] = end_state(a.data(), n, dt);
        const float t = static_cast<float>(n - 1) * dt;
        const float p = 2.0f / t;
        c0 = ((-3.0f / t) * d + v) * p;
        c1 = ((p * d - v) * (6.0f / t)) / t;
    } else if (window == nullptr) {
        return;
    }
    if (n <= static_cast<std::size_t>(INT32_MAX)) {
        add_line<std::int32_t>(a.data(), n, c0, c1, dt, window);
    } else {
        add_line<std::size_t>(a.data(), n, c0, c1, dt, window);
    }
}

}  // namespace

void correct_baseline(std::span<float> a, float dt) { correct(a, dt, nullptr); }

void correct_baseline(std::span<float> a, float dt, std::span<const float> window) {
    check_same_length(window.size(), a.size());
    correct(a, dt, window.data());
}

}  // namespace korvane::fft
