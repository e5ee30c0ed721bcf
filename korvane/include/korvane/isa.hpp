// The instruction sets of the target architecture that vector code is built
// for (one build of a source per set, with that set's flags), and the one
// query of which of them the running CPU supports.
#pragma once

#include <cstdint>

namespace korvane::isa {

#if defined(__x86_64__)
// From the baseline up: SSE2, AVX, AVX-512 F with DQ (its 64-bit multiply).
enum class Set : std::uint8_t { Sse2, Avx, Avx512 };
#elif defined(__aarch64__)
enum class Set : std::uint8_t { AdvSimd };  // part of the aarch64 baseline
#else
enum class Set : std::uint8_t { Scalar };
#endif

// The widest set this CPU and its operating system support.
Set widest() noexcept;

}  // namespace korvane::isa
