#include "korvane/vmath.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
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

}  // namespace

// Every width this CPU supports, over array lengths that end on and off a
// vector (the last partial vector goes through a padded copy), writing no
// element past the end.
TEST(Vmath, EveryWidthWithinOneUlp) {
    const std::vector<float> angles = inputs(-9.0f, 9.0f, 4000), cosines = inputs(-1.0f, 1.0f, 4000);
    const std::vector<float> powers = inputs(-104.0f, 89.0f, 4000);  // exp from subnormal to overflow
    const detail::Width widest = detail::widest_supported();
    for (auto w : {detail::Width::Sse2, detail::Width::Avx, detail::Width::Avx512}) {
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
            EXPECT_TRUE(s[n] == 7 && c[n] == 7 && y[n] == 7 && e[n] == 7) << "width " << int(w) << ", n " << n;
        }
    }
}

// With AVX2 and FMA (SLEEF's FMA kernels at every width), every width gives
// the same bits, so a record does not depend on the vector unit that ran it.
TEST(Vmath, WidthsAgreeBitForBitWithFma) {
    if (!(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))) GTEST_SKIP() << "no AVX2 and FMA";
    const std::vector<float> x = inputs(-9.0f, 9.0f, 20000);
    const std::size_t n = x.size();
    std::vector<float> s0(n), c0(n), s(n), c(n);
    sincos(x, s0, c0);
    for (auto w : {detail::Width::Sse2, detail::Width::Avx, detail::Width::Avx512}) {
        if (w > detail::widest_supported()) continue;
        detail::sincos(w, x.data(), s.data(), c.data(), n);
        for (std::size_t k = 0; k < n; ++k) {
            ASSERT_TRUE(std::memcmp(&s[k], &s0[k], 4) == 0 && std::memcmp(&c[k], &c0[k], 4) == 0)
                << x[k] << ", width " << int(w);
        }
    }
    EXPECT_EQ(fault_message([&] { sincos(x, s, std::span(c).first(3)); }), "assertion failed: part.equal_dim(dimension)");
    EXPECT_EQ(fault_message([&] { acos(x, std::span(c).first(3)); }), "assertion failed: part.equal_dim(dimension)");
}
