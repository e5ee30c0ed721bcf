#include "korvane/rng.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>

using namespace korvane::rng;

namespace {

constexpr std::uint64_t G = 0x9E3779B97F4A7C15;

// Number of 32-bit outputs between two states of the same PCG32 stream
// (searched up to `limit`), or nullopt.
std::optional<int> outputs_between(Lcg64Xsh32 from, const Lcg64Xsh32& to, int limit) {
    for (int k = 0; k <= limit; ++k) {
        if (from.state == to.state) return k;
        from.next_u32();
    }
    return std::nullopt;
}

// Restores KORVANE_FIXTURE_RNG as it was when the test started.
class FixtureEnvGuard {
public:
    FixtureEnvGuard() {
        if (const char* v = std::getenv("KORVANE_FIXTURE_RNG")) saved_ = v;
    }
    ~FixtureEnvGuard() {
        if (saved_) {
            setenv("KORVANE_FIXTURE_RNG", saved_->c_str(), 1);
        } else {
            unsetenv("KORVANE_FIXTURE_RNG");
        }
    }

private:
    std::optional<std::string> saved_;
};

}  // namespace

TEST(Pcg, ReferenceStreamOfKeyZero) {
    DrawSource d = DrawSource::for_key(Variant::Pcg, 0);
    ASSERT_EQ(d.variant(), Variant::Pcg);
    ASSERT_NE(d.pcg(), nullptr);
    EXPECT_EQ(d.pcg()->state, 0xFC470875CCE5F8BEu);
    EXPECT_EQ(d.pcg()->increment, 0xAD6CAD067346F087u);
    DrawSource e = d;
    EXPECT_EQ(d.next_u32(), 0x11CDD903u);
    EXPECT_EQ(d.next_u32(), 0xFC843FD7u);
    EXPECT_EQ(d.next_u32(), 0x140833D3u);
    // next_u64: first output low, second high.
    EXPECT_EQ(e.next_u64(), 0xFC843FD711CDD903u);
    DrawSource f = DrawSource::for_key(Variant::Pcg, 0);
    EXPECT_EQ(f.uniform(), 1166809.0f * 0x1p-24f);
    EXPECT_FLOAT_EQ(DrawSource::for_key(Variant::Pcg, 0).uniform(), 0.069547236f);
}

TEST(Fixture, ReferenceStreamAndSeeding) {
    DrawSource d = DrawSource::for_key(Variant::Fixture, 0);
    ASSERT_EQ(d.variant(), Variant::Fixture);
    ASSERT_NE(d.fixture(), nullptr);
    EXPECT_EQ(d.pcg(), nullptr);
    EXPECT_EQ(d.fixture()->state, G);
    EXPECT_EQ(d.next_u64(), 0x6E789E6AA1B965F4u);
    EXPECT_EQ(d.next_u64(), 0x06C45D188009454Fu);
    EXPECT_EQ(d.next_u32(), 0xF88BB8A8u);  // upper half of the third output 0xF88BB8A8724C81EC

    FixtureDraws direct{G};
    EXPECT_EQ(direct.uniform(), static_cast<float>(0x6E789E6AA1B965F4u >> 40) * 0x1p-24f);

    // Only the low 32 bits, sign-extended, count.
    const std::uint64_t p31 = std::uint64_t{1} << 31;
    EXPECT_EQ(seed_fixture(p31).state, (0 - p31) ^ G);
    EXPECT_EQ(seed_fixture(0 - p31).state, (0 - p31) ^ G);
    EXPECT_EQ(seed_fixture(std::uint64_t{1} << 32).state, G);
    EXPECT_EQ(seed_fixture(0x1234567800000005u).state, 5 ^ G);
}

TEST(Keys, MixingAndDerivation) {
    EXPECT_EQ(mix64(0), 0u);
    EXPECT_EQ(mix64(G), 0xE220A8397B1DCDAFu);
    EXPECT_EQ(segment_key(0, 0), 0u);
    EXPECT_EQ(subfault_key(segment_key(0, 0), 0), 0u);
    const std::uint64_t seg = segment_key(1, 0);
    EXPECT_EQ(seg, 0x5692161D100B05E5u);
    const std::uint64_t sub = subfault_key(seg, 0);
    EXPECT_EQ(sub, 0x7AB40E090F363A7Du);
    EXPECT_EQ(ray_key(sub, 0), 0x78F38D8290F81619u);
    // The indices enter as written (wrapping products of the golden constant).
    EXPECT_EQ(segment_key(7, 3), mix64((3 * G) ^ 7));
    EXPECT_EQ(subfault_key(seg, 9), mix64(9 ^ seg));
    EXPECT_EQ(ray_key(sub, 4), mix64((5 * G) ^ sub));
}

TEST(Streams, EnvironmentSelectsTheVariantOnEveryCall) {
    FixtureEnvGuard guard;
    unsetenv("KORVANE_FIXTURE_RNG");
    DrawSource a = DrawSource::for_station(42);
    EXPECT_EQ(a.variant(), Variant::Pcg);
    EXPECT_EQ(a.pcg()->state, seed_pcg(42).state);
    setenv("KORVANE_FIXTURE_RNG", "", 1);
    DrawSource b = DrawSource::for_station(42);
    EXPECT_EQ(b.variant(), Variant::Fixture);
    EXPECT_EQ(b.fixture()->state, seed_fixture(42).state);
    setenv("KORVANE_FIXTURE_RNG", "0", 1);
    EXPECT_EQ(DrawSource::for_station(42).variant(), Variant::Fixture);
    unsetenv("KORVANE_FIXTURE_RNG");
    EXPECT_EQ(DrawSource::for_station(42).variant(), Variant::Pcg);
}

TEST(Uniform, RangeAndEndpoints) {
    // A state whose XSH-RR output is 0, and the SplitMix64 state just before 0.
    EXPECT_EQ(DrawSource(Lcg64Xsh32{0, 1}).uniform(), 0.0f);
    EXPECT_EQ(DrawSource(FixtureDraws{0 - G}).uniform(), 0.0f);
    // The largest output stays below 1.
    struct AllOnes {
        std::uint32_t next_u32() { return 0xFFFFFFFFu; }
    } ones;
    EXPECT_EQ(detail::uniform_from(ones), 1.0f - 0x1p-24f);

    for (Variant v : {Variant::Pcg, Variant::Fixture}) {
        DrawSource d = DrawSource::for_key(v, 5);
        double sum = 0;
        constexpr int n = 1'000'000;
        for (int k = 0; k < n; ++k) {
            const float x = d.uniform();
            ASSERT_TRUE(x >= 0.0f && x < 1.0f);
            ASSERT_EQ(x * 0x1p24f, std::floor(x * 0x1p24f));
            sum += static_cast<double>(x);
        }
        EXPECT_NEAR(sum / n, 0.5, 5 * std::sqrt(1.0 / 12.0 / n));
    }
}

TEST(Ziggurat, TablesFollowTheRecurrence) {
    const auto& z = detail::ziggurat_tables();
    EXPECT_EQ(z.x[1], 3.654152885361009);
    EXPECT_EQ(z.x[256], 0.0);
    EXPECT_EQ(z.f[256], 1.0);
    EXPECT_NEAR(z.x[0], 0.00492867323399 / std::exp(-0.5 * 3.654152885361009 * 3.654152885361009), 1e-15);
    for (std::size_t i = 0; i < 256; ++i) {
        ASSERT_GT(z.x[i], z.x[i + 1]) << i;
        ASSERT_LT(z.f[i], z.f[i + 1]) << i;
        ASSERT_EQ(z.f[i], std::exp(-(z.x[i] * z.x[i]) / 2.0));
    }
    // Every layer of the ziggurat has area v: x[i] * (f[i+1] - f[i]) = v for 1 <= i < 255;
    // the top layer closes at 0 up to the recurrence's rounding.
    for (std::size_t i = 1; i < 255; ++i) ASSERT_NEAR(z.x[i] * (z.f[i + 1] - z.f[i]), 0.00492867323399, 1e-12);
    EXPECT_NEAR(z.x[255] * (1.0 - z.f[255]), 0.00492867323399, 1e-6);
}

// The generator state after a normal draw is the start state advanced by the
// number of 32-bit outputs the ziggurat step that ended the draw implies,
// found by reading the first 64-bit draw independently.
TEST(Normal, PcgConsumesTwoOutputsPerU64) {
    const auto& z = detail::ziggurat_tables();
    int step2 = 0;
    int step4 = 0;
    int rejected = 0;
    int tail = 0;
    int tail_multi = 0;
    DrawSource d = DrawSource::for_key(Variant::Pcg, 12345);
    for (int draw = 0; draw < 400'000 && (tail_multi < 1 || tail < 20 || rejected < 20); ++draw) {
        const Lcg64Xsh32 before = *d.pcg();
        const float got = d.normal();
        const Lcg64Xsh32 after = *d.pcg();

        Lcg64Xsh32 probe = before;
        const std::uint64_t bits = probe.next_u64();
        const std::size_t i = bits & 0xFF;
        const double u = std::bit_cast<double>((bits >> 12) | 0x4000000000000000) - 3.0;
        const double x = u * z.x[i];
        if (std::fabs(x) < z.x[i + 1]) {
            ASSERT_EQ(outputs_between(before, after, 2), 2);
            ASSERT_EQ(got, static_cast<float>(x));
            ++step2;
        } else if (i == 0) {
            // Tail: the first 64-bit draw, then two per iteration until accepted.
            int iterations = 0;
            double t;
            double y;
            do {
                t = std::log(detail::open01(probe.next_u64())) / z.x[1];
                y = std::log(detail::open01(probe.next_u64()));
                ++iterations;
            } while (t * t > -2.0 * y);
            ASSERT_EQ(outputs_between(before, after, 2 + 4 * iterations), 2 + 4 * iterations);
            ASSERT_EQ(got, static_cast<float>(u < 0 ? t - z.x[1] : z.x[1] - t));
            ASSERT_GE(std::fabs(got), 3.654152885361009f);
            ++tail;
            if (iterations > 1) ++tail_multi;
        } else {
            const std::uint64_t g = probe.next_u64();
            const double c = static_cast<double>(g >> 11) * 0x1p-53;
            if (c * (z.f[i] - z.f[i + 1]) + z.f[i + 1] < std::exp(x * x * -0.5)) {
                ASSERT_EQ(outputs_between(before, after, 4), 4);
                ASSERT_EQ(got, static_cast<float>(x));
                ++step4;
            } else {
                // Rejected: starts over, so at least six outputs and always an even count.
                const auto k = outputs_between(before, after, 1000);
                ASSERT_TRUE(k.has_value());
                ASSERT_GE(*k, 6);
                ASSERT_EQ(*k % 2, 0);
                ++rejected;
            }
        }
    }
    EXPECT_GT(step2, 0);
    EXPECT_GT(step4, 0);
    EXPECT_GE(rejected, 20);
    EXPECT_GE(tail, 20);
    EXPECT_GE(tail_multi, 1);
}

TEST(Normal, MomentsAndTailMass) {
    const double r = 3.654152885361009;
    const double tail_p = std::erfc(r / std::sqrt(2.0));  // P(|Z| > r)
    for (Variant v : {Variant::Pcg, Variant::Fixture}) {
        DrawSource d = DrawSource::for_key(v, 2026);
        constexpr int n = 10'000'000;
        double s1 = 0;
        double s2 = 0;
        double s4 = 0;
        int beyond = 0;
        int positive = 0;
        for (int k = 0; k < n; ++k) {
            const double x = static_cast<double>(d.normal());
            ASSERT_TRUE(std::isfinite(x));
            s1 += x;
            s2 += x * x;
            s4 += x * x * x * x;
            if (std::fabs(x) > r) ++beyond;
            if (x > 0) ++positive;
        }
        const double mean = s1 / n;
        const double var = s2 / n - mean * mean;
        EXPECT_NEAR(mean, 0.0, 5.0 / std::sqrt(n));
        EXPECT_NEAR(var, 1.0, 5.0 * std::sqrt(2.0 / n));
        EXPECT_NEAR(s4 / n, 3.0, 5.0 * std::sqrt(96.0 / n));
        const double expected = tail_p * n;
        EXPECT_NEAR(beyond, expected, 5.0 * std::sqrt(expected)) << "tail mass beyond r";
        EXPECT_NEAR(positive, n / 2.0, 5.0 * std::sqrt(n / 4.0));
    }
}

TEST(Normal, StreamsAreReproducible) {
    for (Variant v : {Variant::Pcg, Variant::Fixture}) {
        DrawSource a = DrawSource::for_key(v, 77);
        DrawSource b = DrawSource::for_key(v, 77);
        for (int k = 0; k < 10000; ++k) ASSERT_EQ(a.normal(), b.normal());
        // Fixture streams run the same ziggurat over next_u64.
        if (v == Variant::Fixture) {
            FixtureDraws f = seed_fixture(77);
            DrawSource c = DrawSource::for_key(v, 77);
            for (int k = 0; k < 10000; ++k) ASSERT_EQ(f.normal(), c.normal());
        }
    }
}
