// Sine, cosine, arc cosine and exponential of f32 arrays at vector speed, from SLEEF
// (Shibata & Petrogalli 2020, "SLEEF: A portable vectorized library of C
// standard mathematical functions", IEEE TPDS 31(6)), its 1.0-ulp variants.
//
// The widest vector unit the CPU has is chosen once, at first use: AVX-512F
// (16 lanes), AVX (8), else SSE2 (4). SLEEF itself then picks the encoding
// (with or without FMA) for that width; it takes the FMA kernels at every
// width where the CPU has AVX2 and FMA. Those give the same bits at every
// width, so there a record does not depend on the width that ran; a machine
// without them may differ in the last bit.
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

// Vector width in f32 lanes.
enum class Width : std::size_t { Sse2 = 4, Avx = 8, Avx512 = 16 };

// The widest width this CPU (and its operating system) supports.
Width widest_supported() noexcept;

// The same functions at a given width, which the CPU must support; raw
// pointers over n elements.
void sincos(Width w, const float* x, float* s, float* c, std::size_t n);
void acos(Width w, const float* x, float* y, std::size_t n);
void exp(Width w, const float* x, float* y, std::size_t n);

// The loops of each instruction set, from one source built once per set; n
// must be a multiple of the set's width.
namespace sse2 {
void sincos(const float* x, float* s, float* c, std::size_t n);
void acos(const float* x, float* y, std::size_t n);
void exp(const float* x, float* y, std::size_t n);
}  // namespace sse2
namespace avx {
void sincos(const float* x, float* s, float* c, std::size_t n);
void acos(const float* x, float* y, std::size_t n);
void exp(const float* x, float* y, std::size_t n);
}  // namespace avx
namespace avx512 {
void sincos(const float* x, float* s, float* c, std::size_t n);
void acos(const float* x, float* y, std::size_t n);
void exp(const float* x, float* y, std::size_t n);
}  // namespace avx512

}  // namespace detail

}  // namespace korvane::vmath
