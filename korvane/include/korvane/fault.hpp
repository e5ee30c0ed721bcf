// Shared machinery of the core: the fault type that stops a call on a broken
// invariant, checked integer arithmetic, saturating float-to-integer
// conversions, the number formatting of message texts and a small result type
// for the fallible constructors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
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

// An allocation that could not be satisfied, saying what was asked for (the
// buffer, its shape and its size in bytes). A std::bad_alloc, so code that
// only knows "out of memory" handles it as such; the Python layer raises it
// as MemoryError with this text.
class AllocationFailure : public std::bad_alloc {
public:
    explicit AllocationFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// a * b and a + b, or the largest size when that overflows (for byte counts in
// messages: a sum of saturated terms must not wrap to a small number).
inline std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t r;
    return __builtin_mul_overflow(a, b, &r) ? static_cast<std::size_t>(-1) : r;
}
inline std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
    std::size_t r;
    return __builtin_add_overflow(a, b, &r) ? static_cast<std::size_t>(-1) : r;
}

// Throws AllocationFailure with "cannot allocate {what} ({bytes} bytes)",
// followed by ": {why}" when why is not empty.
[[noreturn]] void fail_allocation(const std::string& what, std::size_t bytes, const std::string& why = {});

// How many more bytes this process can have: the least of what its
// address-space limit (RLIMIT_AS) leaves above the address space in use, the
// memory the machine has available, and what the memory cgroup's limit leaves
// (cgroup v2), the last two less `untouched`: bytes the process holds but
// may not have touched yet, which neither counts. `bound` names the limit
// that sets `bytes`. Reads /proc and /sys, so it is meant for large requests,
// not for every allocation.
struct MemoryRoom {
    std::size_t bytes = static_cast<std::size_t>(-1);
    const char* bound = "no limit";
};
MemoryRoom memory_room(std::size_t untouched = 0);

// Requests below this many bytes are not weighed against memory_room(): a
// failed allocation of that size reports itself, and touching it cannot run
// the machine out of memory.
inline constexpr std::size_t kWeighedRequestBytes = std::size_t{16} << 20;

// Runs `allocate`; an allocation failure inside it (std::bad_alloc, or
// std::length_error from a container asked to grow past its limit) becomes
// an AllocationFailure naming `what()` and `bytes`. `what` is called only on
// failure, so the hot path builds no text.
template <class F, class W>
auto allocating(W&& what, std::size_t bytes, F&& allocate) -> decltype(allocate()) {
    try {
        return allocate();
    } catch (const AllocationFailure&) {
        throw;
    } catch (const std::bad_alloc&) {
        fail_allocation(what(), bytes);
    } catch (const std::length_error&) {
        fail_allocation(what(), bytes);
    }
}

namespace detail {

// r = a op b through the overflow builtin `op`, or a stop with
// "attempt to {verb} with overflow".
template <class T, class Op>
[[nodiscard]] inline T checked(T a, T b, Op op, const char* verb) {
    static_assert(std::is_same_v<T, std::size_t>);
    T r;
    if (op(a, b, &r)) fail(std::string("attempt to ") + verb + " with overflow");
    return r;
}

}  // namespace detail

// Checked arithmetic for size_t (counts and lengths); overflow stops with
// "attempt to {add,subtract,multiply} with overflow".
template <class T>
[[nodiscard]] inline T checked_add(T a, T b) {
    return detail::checked(
        a, b, [](T x, T y, T* r) { return __builtin_add_overflow(x, y, r); }, "add");
}
template <class T>
[[nodiscard]] inline T checked_sub(T a, T b) {
    return detail::checked(
        a, b, [](T x, T y, T* r) { return __builtin_sub_overflow(x, y, r); }, "subtract");
}
template <class T>
[[nodiscard]] inline T checked_mul(T a, T b) {
    return detail::checked(
        a, b, [](T x, T y, T* r) { return __builtin_mul_overflow(x, y, r); }, "multiply");
}

// Stops with "index out of bounds: the len is {len} but the index is {index}"
// unless index < len.
inline void check_index(std::size_t len, std::size_t index) {
    if (index >= len) {
        fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
    }
}

// Stops with "range end index {end} out of range for slice of length {len}"
// unless end <= len.
inline void check_range_end(std::size_t len, std::size_t end) {
    if (end > len) {
        fail("range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(len));
    }
}

// Stops with "assertion failed: part.equal_dim(dimension)" unless `a == b`:
// two arrays combined element by element must have the same length.
inline void check_same_length(std::size_t a, std::size_t b) {
    if (a != b) fail("assertion failed: part.equal_dim(dimension)");
}

// Stops with "chunk size must be non-zero" when a subfault grid is walked in
// rows of `n_along` cells and that is 0.
inline void check_chunk_size(std::size_t n_along) {
    if (n_along == 0) fail("chunk size must be non-zero");
}

// Float-to-size conversions: truncate toward zero, NaN -> 0, saturate at
// 0 and SIZE_MAX.
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
