// Sine, cosine, arc cosine and exponential of f32 arrays at vector speed, from SLEEF
// (Shibata & Petrogalli 2020, "SLEEF: A portable vectorized library of C
// standard mathematical functions", IEEE TPDS 31(6)), its 1.0-ulp variants.
//
// The vector unit depends on the architecture. On x86-64 the widest the CPU
// has is chosen once, at first use: AVX-512F with DQ (16 lanes), AVX (8), else SSE2
// (4). SLEEF itself then picks the encoding (with or without FMA) for that
// width; it takes the FMA kernels at every width where the CPU has AVX2 and
// FMA. Those give the same bits at every width, so there a record does not
// depend on the width that ran; a machine without them may differ in the last
// bit. On aarch64 every CPU has AdvSIMD (4 lanes, with FMA), whose kernels give
// the same bits as x86-64's FMA ones. Any other architecture calls SLEEF's
// scalar functions, one element at a time.
#pragma once

#include <cstddef>
#include <span>

namespace korvane::vmath {

// s[k] = sin x[k] and c[k] = cos x[k] for every k < x.size(); error at most
// 1 ulp. Sizes must match.
void sincos(std::span<const float> x, std::span<float> s, std::span<float> c);

// y[k] = acos x[k] for every k < x.size(); error at most 1 ulp. Sizes must match.
void acos(std::span<const float> x, std::span<float> y);

// y[k] = exp x[k] for every k < x.size(); error at most 1 ulp. Sizes must
// match; y may be x itself (each vector is read before it is written).
void exp(std::span<const float> x, std::span<float> y);

namespace detail {

// Vector width in f32 lanes; one per instruction set of this architecture.
#if defined(__x86_64__)
enum class Width : std::size_t { Sse2 = 4, Avx = 8, Avx512 = 16 };
inline constexpr Width kWidths[] = {Width::Sse2, Width::Avx, Width::Avx512};
#elif defined(__aarch64__)
enum class Width : std::size_t { AdvSimd = 4 };
inline constexpr Width kWidths[] = {Width::AdvSimd};
#else
enum class Width : std::size_t { Scalar = 1 };
inline constexpr Width kWidths[] = {Width::Scalar};
#endif

// The widest width this CPU (and its operating system) supports.
Width widest_supported() noexcept;

// The same functions at a given width, which the CPU must support; raw
// pointers over n elements.
void sincos(Width w, const float* x, float* s, float* c, std::size_t n);
void acos(Width w, const float* x, float* y, std::size_t n);
void exp(Width w, const float* x, float* y, std::size_t n);

// The loops of each instruction set, from one source built once per set
// (namespaced by the set's name); n must be a multiple of the set's width.
#define KORVANE_VMATH_LOOPS(set)                                    \
    namespace set {                                                 \
    void sincos(const float* x, float* s, float* c, std::size_t n); \
    void acos(const float* x, float* y, std::size_t n);             \
    void exp(const float* x, float* y, std::size_t n);              \
    }
#if defined(__x86_64__)
KORVANE_VMATH_LOOPS(sse2)
KORVANE_VMATH_LOOPS(avx)
KORVANE_VMATH_LOOPS(avx512)
#elif defined(__aarch64__)
KORVANE_VMATH_LOOPS(advsimd)
#else
KORVANE_VMATH_LOOPS(scalar)
#endif
#undef KORVANE_VMATH_LOOPS

}  // namespace detail

}  // namespace korvane::vmath
