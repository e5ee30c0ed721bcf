#include "korvane/fault.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace korvane {

void fail(std::string message) { throw Fault(std::move(message)); }

void fail_allocation(const std::string& what, std::size_t bytes) {
    throw AllocationFailure("cannot allocate " + what + " (" + std::to_string(bytes) + " bytes)");
}

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
    // Shortest round-trip digits come from the scientific form; they are then
    // written positionally (libstdc++'s fixed form prints large values exactly
    // instead of shortest, e.g. 1e20f as 100000002004087734272).
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    const auto e_pos = sci.find('e');
    const int exponent = std::stoi(sci.substr(e_pos + 1));
    std::string digits;
    bool negative = false;
    for (std::size_t i = 0; i < e_pos; ++i) {
        if (sci[i] == '-') negative = true;
        else if (sci[i] != '.') digits += sci[i];
    }
    // Value = 0.digits * 10^(exponent + 1): the point goes after `point` digits.
    const long point = static_cast<long>(exponent) + 1;
    const long n = static_cast<long>(digits.size());
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace

std::int32_t to_i32(float x) noexcept { return saturate<std::int32_t>(x); }
std::int32_t to_i32(double x) noexcept { return saturate<std::int32_t>(x); }
std::size_t to_usize(float x) noexcept { return saturate<std::size_t>(x); }
std::size_t to_usize(double x) noexcept { return saturate<std::size_t>(x); }

std::string format_number(float x) { return format_impl(x); }
std::string format_number(double x) { return format_impl(x); }

}  // namespace korvane
