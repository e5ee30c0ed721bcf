#include "korvane/vmath.hpp"

#include <algorithm>
#include <array>

#include "korvane/fault.hpp"
#include "korvane/isa.hpp"

namespace korvane::vmath {

namespace detail {

namespace {

using Map = void (*)(const float*, float*, std::size_t);
using SinCos = void (*)(const float*, float*, float*, std::size_t);

// The loops of one instruction set; each takes whole vectors only.
struct Set {
    std::size_t lanes;
    SinCos sincos;
    Map acos;
    Map exp;
};

const Set& set_of(Width w) {
#if defined(__x86_64__)
    static constexpr Set sse2_set{4, sse2::sincos, sse2::acos, sse2::exp};
    static constexpr Set avx_set{8, avx::sincos, avx::acos, avx::exp};
    static constexpr Set avx512_set{16, avx512::sincos, avx512::acos, avx512::exp};
    switch (w) {
        case Width::Avx512: return avx512_set;
        case Width::Avx: return avx_set;
        case Width::Sse2: break;
    }
    return sse2_set;
#elif defined(__aarch64__)
    static constexpr Set advsimd_set{4, advsimd::sincos, advsimd::acos, advsimd::exp};
    static_cast<void>(w);
    return advsimd_set;
#else
    static constexpr Set scalar_set{1, scalar::sincos, scalar::acos, scalar::exp};
    static_cast<void>(w);
    return scalar_set;
#endif
}

constexpr std::size_t kMaxLanes = 16;
using Pad = std::array<float, kMaxLanes>;

// Applies f to the whole vectors of x in place, then to the rest through a
// zero-padded copy of one vector.
void map_padded(Map f, std::size_t lanes, const float* x, float* y, std::size_t n) {
    const std::size_t whole = n - n % lanes;
    f(x, y, whole);
    if (whole == n) return;
    Pad xt{}, yt;
    std::copy(x + whole, x + n, xt.begin());
    f(xt.data(), yt.data(), lanes);
    std::copy_n(yt.begin(), n - whole, y + whole);
}

}  // namespace

Width widest_supported() noexcept {
#if defined(__x86_64__)
    switch (isa::widest()) {
        case isa::Set::Avx512: return Width::Avx512;
        case isa::Set::Avx: return Width::Avx;
        case isa::Set::Sse2: break;
    }
    return Width::Sse2;
#elif defined(__aarch64__)
    return Width::AdvSimd;  // part of the aarch64 baseline
#else
    return Width::Scalar;
#endif
}

void sincos(Width w, const float* x, float* s, float* c, std::size_t n) {
    const Set& set = set_of(w);
    const std::size_t whole = n - n % set.lanes;
    set.sincos(x, s, c, whole);
    if (whole == n) return;
    Pad xt{}, st, ct;
    std::copy(x + whole, x + n, xt.begin());
    set.sincos(xt.data(), st.data(), ct.data(), set.lanes);
    std::copy_n(st.begin(), n - whole, s + whole);
    std::copy_n(ct.begin(), n - whole, c + whole);
}

void acos(Width w, const float* x, float* y, std::size_t n) {
    const Set& set = set_of(w);
    map_padded(set.acos, set.lanes, x, y, n);
}

void exp(Width w, const float* x, float* y, std::size_t n) {
    const Set& set = set_of(w);
    map_padded(set.exp, set.lanes, x, y, n);
}

}  // namespace detail

namespace {

// Chosen once per process. SLEEF picks each function's encoding at its first
// call and keeps it in a plain pointer; those first calls are made here, under
// the thread-safe initialisation of the static, so that threads never race on
// the pointers.
detail::Width width() noexcept {
    static const detail::Width w = [] {
        const detail::Width widest = detail::widest_supported();
        float x = 0.5f, s, c, y;
        detail::sincos(widest, &x, &s, &c, 1);
        detail::acos(widest, &x, &y, 1);
        detail::exp(widest, &x, &y, 1);
        return widest;
    }();
    return w;
}

}  // namespace

void sincos(std::span<const float> x, std::span<float> s, std::span<float> c) {
    check_same_length(x.size(), s.size());
    check_same_length(x.size(), c.size());
    detail::sincos(width(), x.data(), s.data(), c.data(), x.size());
}

void acos(std::span<const float> x, std::span<float> y) {
    check_same_length(x.size(), y.size());
    detail::acos(width(), x.data(), y.data(), x.size());
}

void exp(std::span<const float> x, std::span<float> y) {
    check_same_length(x.size(), y.size());
    detail::exp(width(), x.data(), y.data(), x.size());
}

}  // namespace korvane::vmath
