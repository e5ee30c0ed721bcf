#include "korvane/fault.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace korvane {

void fail(std::string message) { throw Fault(std::move(message)); }

namespace {

template <class I, class F>
I saturate(F x) noexcept {
    if (std::isnan(x)) return 0;
    // Compare against the limits as floats: the upper limit + 1 is a power of
    // two and therefore exact in both widths.
    constexpr F lo = static_cast<F>(std::numeric_limits<I>::min());
    constexpr F hi_excl = static_cast<F>(std::numeric_limits<I>::max() / 2 + 1) * static_cast<F>(2);
    if (x <= lo) return std::numeric_limits<I>::min();
    if (x >= hi_excl) return std::numeric_limits<I>::max();
    return static_cast<I>(x);
}

template <class F>
std::string format_impl(F x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    // Fixed notation without a precision is the shortest round-trip digits
    // written positionally. 400 characters hold any f64 (1e308 or 2^-1074).
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

}  // namespace

std::int32_t to_i32(float x) noexcept { return saturate<std::int32_t>(x); }
std::int32_t to_i32(double x) noexcept { return saturate<std::int32_t>(x); }
std::size_t to_usize(float x) noexcept { return saturate<std::size_t>(x); }
std::size_t to_usize(double x) noexcept { return saturate<std::size_t>(x); }

std::string format_number(float x) { return format_impl(x); }
std::string format_number(double x) { return format_impl(x); }

}  // namespace korvane
