#include "korvane/isa.hpp"

namespace korvane::isa {

Set widest() noexcept {
#if defined(__x86_64__)
    // GCC's checks include the operating system's support for the registers;
    // they read what libgcc's start-up constructor recorded.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return Set::Avx512;
    if (__builtin_cpu_supports("avx")) return Set::Avx;
    return Set::Sse2;
#elif defined(__aarch64__)
    return Set::AdvSimd;
#else
    return Set::Scalar;
#endif
}

}  // namespace korvane::isa
