#include "korvane/vmath.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kit.hpp"

// References are computed in double from the f32 inputs.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

using namespace korvane::vmath;
using korvane::testing::fault_message;

namespace {

// Within 1 ulp of the exact value (an overflow to inf included), or NaN
// exactly where the reference is NaN.
::testing::AssertionResult within_ulp(float got, double want) {
    if (got == want) return ::testing::AssertionSuccess();
    if (std::isnan(want) || std::isnan(got)) {
        if (std::isnan(want) && std::isnan(got)) return ::testing::AssertionSuccess();
    } else {
        const double ulp = std::ldexp(1.0, std::max(std::ilogb(static_cast<float>(want)), -126) - 23);
        if (std::fabs(got - want) <= ulp) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << got << " against " << want;
}

// Inputs over [lo, hi] in n steps, then the edges and specials.
std::vector<float> inputs(float lo, float hi, int n) {
    std::vector<float> x;
    for (int i = 0; i <= n; ++i) x.push_back(lo + (hi - lo) * static_cast<float>(i) / static_cast<float>(n));
    for (float v : {0.0f, -0.0f, 1.0f, -1.0f, 1e-30f, 1.0000001f, INFINITY, -INFINITY, NAN}) x.push_back(v);
    return x;
}

// FNV-1a over the bit patterns of v, every NaN counted as one (the NaN a
// function makes from a non-NaN input has a sign that differs between
// architectures, and nothing reads it).
std::uint64_t digest(const std::vector<float>& v) {
    std::uint64_t h = 14695981039346656037u;
    for (float f : v) {
        const std::uint32_t bits = std::isnan(f) ? 0x7fc00000u : std::bit_cast<std::uint32_t>(f);
        for (int b = 0; b < 32; b += 8) h = (h ^ ((bits >> b) & 0xffu)) * 1099511628211u;
    }
    return h;
}

// Whether SLEEF runs its FMA kernels here, at every width.
bool fma_kernels() {
#if defined(__x86_64__)
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#elif defined(__aarch64__)
    return true;  // AdvSIMD always has FMA
#else
    return false;
#endif
}

}  // namespace

// Every width this CPU supports, over array lengths that end on and off a
// vector (the last partial vector goes through a padded copy), writing no
// element past the end.
TEST(Vmath, EveryWidthWithinOneUlp) {
    const std::vector<float> angles = inputs(-9.0f, 9.0f, 4000), cosines = inputs(-1.0f, 1.0f, 4000);
    const std::vector<float> powers = inputs(-104.0f, 89.0f, 4000);  // exp from subnormal to overflow
    const detail::Width widest = detail::widest_supported();
    for (auto w : detail::kWidths) {
        if (w > widest) continue;
        for (std::size_t n : {0ul, 1ul, 3ul, 4ul, 5ul, 8ul, 15ul, 16ul, 17ul, 33ul, angles.size()}) {
            std::vector<float> s(n + 1, 7.0f), c(n + 1, 7.0f), y(n + 1, 7.0f), e(n + 1, 7.0f);
            detail::sincos(w, angles.data() + angles.size() - n, s.data(), c.data(), n);
            detail::acos(w, cosines.data() + cosines.size() - n, y.data(), n);
            detail::exp(w, powers.data() + powers.size() - n, e.data(), n);
            for (std::size_t k = 0; k < n; ++k) {
                const double a = angles[angles.size() - n + k], x = cosines[cosines.size() - n + k];
                const double p = powers[powers.size() - n + k];
                ASSERT_TRUE(within_ulp(s[k], std::sin(a))) << "sin " << a << ", width " << int(w) << ", n " << n;
                ASSERT_TRUE(within_ulp(c[k], std::cos(a))) << "cos " << a << ", width " << int(w) << ", n " << n;
                ASSERT_TRUE(within_ulp(y[k], std::acos(x))) << "acos " << x << ", width " << int(w) << ", n " << n;
                ASSERT_TRUE(within_ulp(e[k], std::exp(p))) << "exp " << p << ", width " << int(w) << ", n " << n;
            }
            EXPECT_EQ((std::vector{s[n], c[n], y[n], e[n]}), std::vector(4, 7.0f))
                << "past the end of sin, cos, acos, exp; width " << int(w) << ", n " << n;
        }
    }
}

// SLEEF's FMA kernels (x86-64 with AVX2 and FMA; aarch64's AdvSIMD) give the
// same bits at every width and on both architectures, so a record does not
// depend on the vector unit that ran it. The digests hold with AVX2 and FMA
// on x86-64 and under AdvSIMD; a change of SLEEF's rounding shows here.
TEST(Vmath, FmaKernelsGiveThePinnedBitsAtEveryWidth) {
    if (!fma_kernels()) {
#if defined(__x86_64__)
        GTEST_SKIP() << "no AVX2 and FMA: SLEEF's other kernels may differ in the last bit";
#else
        GTEST_SKIP() << "SLEEF's scalar functions here: their last bits are not pinned";
#endif
    }
    const std::vector<float> angles = inputs(-100.0f, 100.0f, 200000), cosines = inputs(-1.0f, 1.0f, 200000);
    const std::vector<float> powers = inputs(-104.0f, 89.0f, 200000);
    const std::size_t n = angles.size();
    struct Row {
        const char* name;
        std::uint64_t want;
    };
    const Row rows[] = {
        {"sin", 0x585963ef5c497b0au},
        {"cos", 0x38357e8251a014d8u},
        {"acos", 0x240fd5e275504134u},
        {"exp", 0xc5e0e2daa74f040fu},
    };
    std::vector<float> out[4];
    for (auto& o : out) o.resize(n);
    auto check = [&](const std::string& width) {
        for (std::size_t r = 0; r < 4; ++r)
            EXPECT_EQ(digest(out[r]), rows[r].want) << rows[r].name << ", width " << width;
    };
    for (auto w : detail::kWidths) {
        if (w > detail::widest_supported()) continue;
        detail::sincos(w, angles.data(), out[0].data(), out[1].data(), n);
        detail::acos(w, cosines.data(), out[2].data(), n);
        detail::exp(w, powers.data(), out[3].data(), n);
        check(std::to_string(static_cast<std::size_t>(w)));
    }
    sincos(angles, out[0], out[1]);
    acos(cosines, out[2]);
    exp(powers, out[3]);
    check("chosen");
}

TEST(Vmath, SizesMustMatch) {
    std::vector<float> x(5), y(5), z(3);
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"sincos, short sines", [&] { sincos(x, z, y); }},
        {"sincos, short cosines", [&] { sincos(x, y, z); }},
        {"acos", [&] { acos(x, z); }},
        {"exp", [&] { exp(x, z); }},
    };
    for (const auto& [name, call] : rows) {
        EXPECT_EQ(fault_message(call), "assertion failed: part.equal_dim(dimension)") << name;
    }
}
