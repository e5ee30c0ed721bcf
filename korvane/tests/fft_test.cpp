#include "korvane/fft.hpp"

#include "korvane/fault.hpp"

#include <gtest/gtest.h>

#include "kit.hpp"

#include <barrier>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using korvane::Fault;
using korvane::fft::good_length;
using korvane::fft::plan_count;
using korvane::fft::transform;
using cvec = std::vector<std::complex<float>>;

using korvane::testing::fault_message;

namespace {

cvec noise(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    cvec v(n);
    for (auto& c : v) c = {d(gen), d(gen)};
    return v;
}

bool same_bytes(const std::complex<float>* a, const std::complex<float>* b, std::size_t n) {
    return std::memcmp(a, b, n * sizeof(*a)) == 0;
}

// Runs f on a fresh thread and returns its result.
template <class F>
auto on_new_thread(F f) {
    decltype(f()) out{};
    std::thread t([&] { out = f(); });
    t.join();
    return out;
}

}  // namespace

TEST(GoodLength, ListedValues) {
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 2},       {1, 2},       {2, 2},       {3, 4},         {5, 6},       {7, 8},
        {9, 10},      {11, 12},     {13, 14},     {15, 16},       {17, 20},     {33, 40},
        {100, 112},   {1000, 1024}, {1025, 1280}, {1500, 1536},   {4097, 5120}, {10000, 10240},
    };
    for (auto [n, want] : cases) EXPECT_EQ(good_length(n), want) << "n = " << n;
}

TEST(GoodLength, AgreesWithTheAdmissibleSet) {
    // Every m * 2^k with m in {1, 3, 5, 7}, k >= 1, up to 2^63.
    std::set<std::size_t> admissible;
    for (std::size_t m : {1u, 3u, 5u, 7u}) {
        for (std::size_t v = 2 * m; v <= (std::size_t{1} << 63); v *= 2) {
            admissible.insert(v);
            if (v > (std::size_t{1} << 62)) break;
        }
    }
    for (std::size_t a : admissible) {
        ASSERT_EQ(good_length(a), a);
        ASSERT_EQ(good_length(a - 1), a == 2 ? 2 : a) << a;
        auto next = admissible.upper_bound(a);
        if (next != admissible.end()) {
            ASSERT_EQ(good_length(a + 1), *next) << a;
        }
    }
    for (std::size_t n = 3; n < 70000; ++n) {
        ASSERT_EQ(good_length(n), *admissible.lower_bound(n)) << n;
    }
}

TEST(GoodLength, TopOctaveAndStop) {
    constexpr std::size_t p63 = std::size_t{1} << 63;
    constexpr std::size_t p60 = std::size_t{1} << 60;
    for (std::size_t n : {7 * p60 + 1, 7 * p60 + 12345, p63 - 1, p63}) EXPECT_EQ(good_length(n), p63);
    EXPECT_EQ(good_length(7 * p60), 7 * p60);
    const std::string stop = "a transform length that overflows usize is not a real request";
    EXPECT_EQ(fault_message([] { (void)good_length(p63 + 1); }), stop);
    EXPECT_EQ(fault_message([] { (void)good_length(3 * (p63 / 2)); }), stop);  // 3 * 2^62 is admissible
    EXPECT_EQ(fault_message([] { (void)good_length(std::numeric_limits<std::size_t>::max()); }), stop);
}

TEST(Transform, OddLengthStopsFirst) {
    const std::size_t before = on_new_thread([] {
        cvec v(3, {1.0f, 0.0f});
        const std::string msg = fault_message([&] { transform(v, true); });
        EXPECT_EQ(msg, "the transform requires an even length, got 3");
        EXPECT_EQ(v[0], std::complex<float>(1.0f, 0.0f));
        EXPECT_EQ(fault_message([&] { transform(std::span(v).first(1), false); }),
                  "the transform requires an even length, got 1");
        return plan_count();
    });
    EXPECT_EQ(before, 0u);  // the stop came before the table was even created
}

TEST(Transform, MatchesDirectSumInBothDirections) {
    for (std::size_t n : {2u, 4u, 6u, 10u, 14u, 24u, 56u, 160u}) {
        const cvec x = noise(n, static_cast<unsigned>(n));
        for (bool forward : {true, false}) {
            cvec y = x;
            transform(y, forward);
            const double sign = forward ? -1.0 : 1.0;
            for (std::size_t k = 0; k < n; ++k) {
                std::complex<double> s = 0;
                for (std::size_t j = 0; j < n; ++j) {
                    const double ang = sign * 2.0 * std::numbers::pi * static_cast<double>((j * k) % n) /
                                       static_cast<double>(n);
                    s += std::complex<double>(x[j]) * std::polar(1.0, ang);
                }
                EXPECT_NEAR(y[k].real(), s.real(), 1e-5 * static_cast<double>(n)) << n << " " << k;
                EXPECT_NEAR(y[k].imag(), s.imag(), 1e-5 * static_cast<double>(n)) << n << " " << k;
            }
        }
    }
}

TEST(Transform, ForwardThenInverseIsNTimes) {
    for (std::size_t n : {2u, 8u, 12u, 20u, 28u, 1024u, 1536u, 2560u, 3584u, 5120u}) {
        const cvec x = noise(n, 7);
        cvec y = x;
        transform(y, true);
        transform(y, false);
        const float fn = static_cast<float>(n);
        for (std::size_t j = 0; j < n; ++j) {
            ASSERT_NEAR(y[j].real(), fn * x[j].real(), 2e-5f * fn) << n;
            ASSERT_NEAR(y[j].imag(), fn * x[j].imag(), 2e-5f * fn) << n;
        }
    }
}

TEST(Transform, ImpulseAndConstant) {
    for (std::size_t n : {6u, 64u, 1280u}) {
        cvec impulse(n);
        impulse[0] = 1.0f;
        transform(impulse, true);
        for (auto c : impulse) EXPECT_EQ(c, std::complex<float>(1.0f, 0.0f));

        cvec ones(n, 1.0f);
        transform(ones, true);
        EXPECT_NEAR(ones[0].real(), static_cast<float>(n), 1e-3f);
        EXPECT_NEAR(ones[0].imag(), 0.0f, 1e-3f);
        for (std::size_t k = 1; k < n; ++k) EXPECT_NEAR(std::abs(ones[k]), 0.0f, 1e-3f) << k;
    }
    cvec empty;
    transform(empty, true);  // even length 0: nothing to do, no stop
}

TEST(Transform, PlanTablePerThreadAndDirection) {
    const auto counts = on_new_thread([] {
        std::vector<std::size_t> c{plan_count()};
        cvec v(40);
        transform(v, true);
        c.push_back(plan_count());
        transform(v, true);
        c.push_back(plan_count());
        transform(v, false);
        c.push_back(plan_count());
        cvec w(48);
        transform(w, false);
        c.push_back(plan_count());
        return c;
    });
    EXPECT_EQ(counts, (std::vector<std::size_t>{0, 1, 1, 2, 3}));
    // Another thread starts with its own, empty table and builds its own plan.
    EXPECT_EQ(on_new_thread([] {
                  cvec v(40);
                  const std::size_t c0 = plan_count();
                  transform(v, true);
                  return c0 * 10 + plan_count();
              }),
              1u);
}

TEST(Transform, SameBytesWhateverTheAlignment) {
    for (std::size_t n : {2u, 6u, 14u, 40u, 1536u, 3584u, 4096u}) {
        const cvec x = noise(n, 11);
        // One 64-byte-aligned block, used at byte offsets 0, 8, 16, 24, 32, 48.
        const std::size_t slots = (n + 8 + 7) / 8 * 8;  // a multiple of 64 bytes
        auto* base = static_cast<std::complex<float>*>(std::aligned_alloc(64, slots * sizeof(x[0])));
        ASSERT_NE(base, nullptr);
        for (bool forward : {true, false}) {
            cvec ref = x;
            transform(ref, forward);
            for (std::size_t off : {0u, 1u, 2u, 3u, 4u, 6u}) {
                std::memcpy(base + off, x.data(), n * sizeof(x[0]));
                transform(std::span(base + off, n), forward);
                EXPECT_TRUE(same_bytes(base + off, ref.data(), n)) << n << " offset " << off;
            }
        }
        std::free(base);
    }
}

TEST(Transform, SameBytesOnConcurrentThreads) {
    const std::size_t lengths[] = {1536, 3584, 4096, 10240};
    std::vector<cvec> inputs;
    for (std::size_t n : lengths) inputs.push_back(noise(n, 3));

    constexpr int workers = 4;
    std::vector<std::vector<cvec>> out(workers);
    std::barrier sync(workers);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            sync.arrive_and_wait();  // all threads plan at once
            for (const cvec& x : inputs) {
                cvec f = x;
                transform(f, true);
                cvec b = x;
                transform(b, false);
                out[static_cast<std::size_t>(w)].push_back(std::move(f));
                out[static_cast<std::size_t>(w)].push_back(std::move(b));
            }
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < out[0].size(); ++i) {
        cvec mine = inputs[i / 2];
        transform(mine, i % 2 == 0);
        for (int w = 0; w < workers; ++w) {
            EXPECT_TRUE(same_bytes(out[static_cast<std::size_t>(w)][i].data(), mine.data(), mine.size()))
                << "worker " << w << " result " << i;
        }
    }
}

namespace {
// Calls transform from a thread-local destructor that runs after the plan
// table of its thread is gone.
std::string late_message;
struct LateCaller {
    ~LateCaller() {
        cvec v(8);
        late_message = fault_message([&] { transform(v, true); });
    }
};
}  // namespace

TEST(Transform, StopsAfterTheThreadTableIsGone) {
    std::thread([] {
        thread_local LateCaller late;  // constructed before the table: destroyed after it
        (void)&late;
        cvec v(8);
        transform(v, true);
    }).join();
    EXPECT_EQ(late_message, "cannot access the thread's transform plan table during or after its destruction");
}
