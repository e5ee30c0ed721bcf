// The PCG32 outputs generated in 8 lanes of 64 bits with the 64-bit vector
// multiply of AVX-512 DQ: about 0.2 ns per 64-bit output against about 1 ns
// in scalar lanes, which is what makes generating ahead pay (rng.cpp reads
// them on through the ziggurat). This file is built only with the avx512
// set's flags, and its one entry point is called only where the CPU query
// says the set is there. Everything else here has internal linkage and the
// header's functions are only evaluated as constants, so no code built for
// AVX-512 stands in for a baseline function at link time.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "korvane/rng.hpp"

namespace korvane::rng::detail::avx512 {

namespace {

constexpr std::size_t width = 8;
constexpr LcgJump two = lcg_jump(2);             // one 64-bit output
constexpr LcgJump stride = lcg_jump(2 * width);  // one output in every lane

// GCC 12 reads the undefined pass-through operand inside its AVX-512 shift
// intrinsics as maybe uninitialised (a false positive of its headers).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

__m512i xsh_rr8(__m512i s) noexcept {
    const __m512i xored = _mm512_srli_epi64(_mm512_xor_si512(_mm512_srli_epi64(s, 18), s), 27);
    // Rotating the 32-bit lanes rotates the low half of each 64-bit one by its own count.
    return _mm512_rorv_epi32(xored, _mm512_srli_epi64(s, 59));
}
__m512i pcg_words8(__m512i s, __m512i mul, __m512i inc) noexcept {
    const __m512i second = _mm512_add_epi64(_mm512_mullo_epi64(s, mul), inc);
    return _mm512_or_si512(_mm512_and_si512(xsh_rr8(s), _mm512_set1_epi64(0xFFFFFFFF)),
                           _mm512_slli_epi64(xsh_rr8(second), 32));
}

}  // namespace

std::uint64_t pcg_words(std::uint64_t state, std::uint64_t increment, std::uint64_t* w, std::size_t n) noexcept {
    std::uint64_t lane[width];  // lane j: the state before output k + j
    lane[0] = state;
    for (std::size_t j = 1; j < width; ++j) lane[j] = two.a * lane[j - 1] + two.g * increment;
    const auto bcast = [](std::uint64_t v) { return static_cast<long long>(v); };
    const __m512i mul = _mm512_set1_epi64(bcast(pcg_multiplier));
    const __m512i inc = _mm512_set1_epi64(bcast(increment));
    const __m512i stride_a = _mm512_set1_epi64(bcast(stride.a));
    const __m512i stride_c = _mm512_set1_epi64(bcast(stride.g * increment));
    __m512i s = _mm512_loadu_si512(lane);
    std::size_t k = 0;
    for (; k + width <= n; k += width) {
        _mm512_storeu_si512(w + k, pcg_words8(s, mul, inc));
        s = _mm512_add_epi64(_mm512_mullo_epi64(s, stride_a), stride_c);
    }
    const std::size_t rest = n - k;
    if (rest != 0) _mm512_mask_storeu_epi64(w + k, static_cast<__mmask8>((1u << rest) - 1), pcg_words8(s, mul, inc));
    _mm512_storeu_si512(lane, s);
    return lane[rest];
}

#pragma GCC diagnostic pop

}  // namespace korvane::rng::detail::avx512
