#include "korvane/fault.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <optional>
#include <string_view>

namespace korvane {

void fail(std::string message) { throw Fault(std::move(message)); }

void fail_allocation(const std::string& what, std::size_t bytes, const std::string& why) {
    throw AllocationFailure("cannot allocate " + what + " (" + std::to_string(bytes) + " bytes)" +
                            (why.empty() ? "" : ": " + why));
}

namespace {

// The first number after `key` in the text file at `path` (times `unit`), or
// nothing when the file, the key or the number is missing ("max" included).
std::optional<std::size_t> number_in_file(const char* path, std::string_view key, std::size_t unit) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        std::size_t value = 0;
        const char* first = line.data() + key.size();
        while (first < line.data() + line.size() && *first == ' ') ++first;
        const auto [end, ec] = std::from_chars(first, line.data() + line.size(), value);
        if (ec != std::errc()) return std::nullopt;
        return saturating_mul(value, unit);
    }
    return std::nullopt;
}

}  // namespace

MemoryRoom memory_room(std::size_t untouched) {
    MemoryRoom room;
    const auto offer = [&room](std::size_t bytes, const char* bound) {
        if (bytes < room.bytes) room = {bytes, bound};
    };
    const auto less_untouched = [untouched](std::size_t bytes) { return bytes > untouched ? bytes - untouched : 0; };
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        // The first field of statm is the address space in use, in pages.
        const std::size_t used = number_in_file("/proc/self/statm", "", page).value_or(0);
        const auto cap = static_cast<std::size_t>(limit.rlim_cur);
        offer(cap > used ? cap - used : 0, "the process's address-space limit (RLIMIT_AS)");
    }
    if (const auto available = number_in_file("/proc/meminfo", "MemAvailable:", 1024)) {
        offer(less_untouched(*available), "the memory the machine has available");
    } else {
        offer(less_untouched(saturating_mul(static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)), page)),
              "the machine's memory");
    }
    const auto cgroup_max = number_in_file("/sys/fs/cgroup/memory.max", "", 1);
    const auto cgroup_used = number_in_file("/sys/fs/cgroup/memory.current", "", 1);
    if (cgroup_max && cgroup_used) {
        offer(less_untouched(*cgroup_max > *cgroup_used ? *cgroup_max - *cgroup_used : 0), "the memory cgroup's limit");
    }
    return room;
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
        if (sci[i] == '-')
            negative = true;
        else if (sci[i] != '.')
            digits += sci[i];
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

std::size_t to_usize(float x) noexcept { return saturate<std::size_t>(x); }
std::size_t to_usize(double x) noexcept { return saturate<std::size_t>(x); }

std::string format_number(float x) { return format_impl(x); }
std::string format_number(double x) { return format_impl(x); }

}  // namespace korvane
