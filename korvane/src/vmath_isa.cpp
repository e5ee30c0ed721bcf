// The vmath array loops for one instruction set: this file is built once per
// set of the architecture (x86-64: baseline SSE2, -mavx, -mavx512f; aarch64:
// baseline AdvSIMD; elsewhere: SLEEF's scalar functions), with VMATH_ISA naming
// the namespace of that build's entry points. Everything else has internal
// linkage and no library template is used, so code built for one set never
// stands in for another's at link time.
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif
#include <sleef.h>

#include "korvane/vmath.hpp"

namespace korvane::vmath::detail::VMATH_ISA {

namespace {

#if defined(__x86_64__) && defined(__AVX512F__)
using Vec = __m512;
constexpr std::size_t kLanes = 16;
Vec load(const float* p) { return _mm512_loadu_ps(p); }
void store(float* p, Vec v) { _mm512_storeu_ps(p, v); }
Sleef___m512_2 sincos_of(Vec v) { return Sleef_sincosf16_u10(v); }
Vec acos_of(Vec v) { return Sleef_acosf16_u10(v); }
Vec exp_of(Vec v) { return Sleef_expf16_u10(v); }
#elif defined(__x86_64__) && defined(__AVX__)
using Vec = __m256;
constexpr std::size_t kLanes = 8;
Vec load(const float* p) { return _mm256_loadu_ps(p); }
void store(float* p, Vec v) { _mm256_storeu_ps(p, v); }
Sleef___m256_2 sincos_of(Vec v) { return Sleef_sincosf8_u10(v); }
Vec acos_of(Vec v) { return Sleef_acosf8_u10(v); }
Vec exp_of(Vec v) { return Sleef_expf8_u10(v); }
#elif defined(__x86_64__)
using Vec = __m128;
constexpr std::size_t kLanes = 4;
Vec load(const float* p) { return _mm_loadu_ps(p); }
void store(float* p, Vec v) { _mm_storeu_ps(p, v); }
Sleef___m128_2 sincos_of(Vec v) { return Sleef_sincosf4_u10(v); }
Vec acos_of(Vec v) { return Sleef_acosf4_u10(v); }
Vec exp_of(Vec v) { return Sleef_expf4_u10(v); }
#elif defined(__aarch64__)
using Vec = float32x4_t;
constexpr std::size_t kLanes = 4;
Vec load(const float* p) { return vld1q_f32(p); }
void store(float* p, Vec v) { vst1q_f32(p, v); }
Sleef_float32x4_t_2 sincos_of(Vec v) { return Sleef_sincosf4_u10(v); }
Vec acos_of(Vec v) { return Sleef_acosf4_u10(v); }
Vec exp_of(Vec v) { return Sleef_expf4_u10(v); }
#else
using Vec = float;
constexpr std::size_t kLanes = 1;
Vec load(const float* p) { return *p; }
void store(float* p, Vec v) { *p = v; }
Sleef_float2 sincos_of(Vec v) { return Sleef_sincosf_u10(v); }
Vec acos_of(Vec v) { return Sleef_acosf_u10(v); }
Vec exp_of(Vec v) { return Sleef_expf_u10(v); }
#endif

}  // namespace

// n must be a multiple of kLanes: the callers pad the rest (in a file built
// for the baseline set: over-aligned locals here would break the sanitizers'
// relocated stack frames).
void sincos(const float* x, float* s, float* c, std::size_t n) {
    for (std::size_t k = 0; k < n; k += kLanes) {
        const auto r = sincos_of(load(x + k));
        store(s + k, r.x);
        store(c + k, r.y);
    }
}

void acos(const float* x, float* y, std::size_t n) {
    for (std::size_t k = 0; k < n; k += kLanes) store(y + k, acos_of(load(x + k)));
}

void exp(const float* x, float* y, std::size_t n) {
    for (std::size_t k = 0; k < n; k += kLanes) store(y + k, exp_of(load(x + k)));
}

}  // namespace korvane::vmath::detail::VMATH_ISA
