// Shared machinery of the core: the fault type that stops a call on a broken
// invariant, checked integer arithmetic, saturating float-to-integer
// conversions, the number formatting of message texts and a small result type
// for the fallible constructors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace korvane {

// A broken invariant or an arithmetic overflow. Carries a fixed message; the
// Python layer turns it into pyo3_runtime.PanicException. It never means
// "bad user input" (that is ModelError / SimError).
class Fault : public std::exception {
public:
    explicit Fault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] void fail(std::string message);

// Checked arithmetic for size_t and int32_t; overflow stops with
// "attempt to {add,subtract,multiply} with overflow".
template <class T>
[[nodiscard]] inline T checked_add(T a, T b) {
    static_assert(std::is_same_v<T, std::size_t> || std::is_same_v<T, std::int32_t>);
    T r;
    if (__builtin_add_overflow(a, b, &r)) fail("attempt to add with overflow");
    return r;
}
template <class T>
[[nodiscard]] inline T checked_sub(T a, T b) {
    static_assert(std::is_same_v<T, std::size_t> || std::is_same_v<T, std::int32_t>);
    T r;
    if (__builtin_sub_overflow(a, b, &r)) fail("attempt to subtract with overflow");
    return r;
}
template <class T>
[[nodiscard]] inline T checked_mul(T a, T b) {
    static_assert(std::is_same_v<T, std::size_t> || std::is_same_v<T, std::int32_t>);
    T r;
    if (__builtin_mul_overflow(a, b, &r)) fail("attempt to multiply with overflow");
    return r;
}

// Stops with "index out of bounds: the len is {len} but the index is {index}"
// unless index < len.
inline void check_index(std::size_t len, std::size_t index) {
    if (index >= len) {
        fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
             std::to_string(index));
    }
}

// Stops with "range end index {end} out of range for slice of length {len}"
// unless end <= len.
inline void check_range_end(std::size_t len, std::size_t end) {
    if (end > len) {
        fail("range end index " + std::to_string(end) + " out of range for slice of length " +
             std::to_string(len));
    }
}

// Float-to-integer conversions: truncate toward zero, NaN -> 0, saturate at
// the target's limits (negative -> 0 for unsigned targets).
std::int32_t to_i32(float x) noexcept;
std::int32_t to_i32(double x) noexcept;
std::size_t to_usize(float x) noexcept;
std::size_t to_usize(double x) noexcept;

// Shortest decimal that reads back to the same value, positional notation:
// "4", "2.5", "-0.0000001", "-0", "NaN", "inf", "-inf".
std::string format_number(float x);
std::string format_number(double x);

// Result of a fallible construction: either a value or a reported error.
template <class T, class E>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const E& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace korvane
