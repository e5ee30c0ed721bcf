#include "korvane/fft.hpp"

#include <gtest/gtest.h>

#include <barrier>
#include <cstring>
#include <numbers>
#include <random>
#include <thread>

#include "kit.hpp"

// Reference values are computed in double from f32 data.
#pragma GCC diagnostic ignored "-Wdouble-promotion"

using namespace korvane::fft;
using korvane::testing::fault_message;
using cvec = std::vector<std::complex<float>>;

static cvec noise(std::size_t n) {
    std::mt19937 gen(static_cast<unsigned>(n));
    std::uniform_real_distribution<float> d(-1, 1);
    cvec v(n);
    for (auto& c : v) c = {d(gen), d(gen)};
    return v;
}

TEST(GoodLength, ReferenceValuesAdmissibleSetAndStops) {
    constexpr std::size_t p60 = std::size_t{1} << 60, p63 = std::size_t{1} << 63;
    // The listed values, then n at and just above each admissible length from 40 to 64.
    for (auto [n, want] : {std::pair{0ul, 2ul}, {1, 2}, {2, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 10}, {11, 12}, {13, 14},
                           {15, 16}, {17, 20}, {33, 40}, {100, 112}, {1000, 1024}, {1025, 1280}, {1500, 1536},
                           {4097, 5120}, {10000, 10240}, {7 * p60, 7 * p60}, {7 * p60 + 1, p63}, {p63, p63}, {40, 40},
                           {41, 48}, {48, 48}, {49, 56}, {56, 56}, {57, 64}, {64, 64}, {65, 80}}) {
        EXPECT_EQ(good_length(n), want) << "n = " << n;
    }
    const std::string too_long = "a transform length that overflows usize is not a real request";
    for (std::size_t n : {p63 + 1, 3 * (p63 / 2)}) EXPECT_EQ(fault_message([&] { (void)good_length(n); }), too_long);
    EXPECT_EQ(fault_message([] { cvec odd(3); transform(odd, true); }), "the transform requires an even length, got 3");
}

// A tone of frequency 3 lands in bin 3 forward (bin n - 3 backward) with height n; the two
// directions undo each other times n, on a buffer 8 bytes off the alignment as well.
TEST(Transform, TonesAndRoundTrip) {
    for (std::size_t n : {2u, 6u, 14u, 40u, 160u, 1536u, 3584u, 4096u}) {
        for (bool forward : {true, false}) {
            cvec tone(n), x = noise(n), y(n + 1);
            std::copy(x.begin(), x.end(), y.begin() + 1);
            const double w = 2 * std::numbers::pi / static_cast<double>(n);
            for (std::size_t j = 0; j < n; ++j) tone[j] = std::polar(1.0, w * static_cast<double>(j * 3 % n));
            transform(tone, forward);
            for (std::size_t k = 0; k < n; ++k) {
                ASSERT_LT(std::abs(tone[k] - float(k == (forward ? 3 : n - 3) % n) * float(n)), 1e-3f) << n << " " << k;
            }
            transform(std::span(y).subspan(1), forward);
            transform(std::span(y).subspan(1), !forward);
            for (std::size_t j = 0; j < n; ++j) ASSERT_LT(std::abs(y[j + 1] / float(n) - x[j]), 1e-5f) << n;
        }
    }
}

// The real transforms give bins 0 .. n/2 of the complex transform of the same samples and undo each other
// times n. Aligned disjoint buffers run as they are, misaligned or overlapping ones through the scratch:
// the same plan, so the same bytes. The inverse may work in its input, so each call gets a fresh copy. A
// thread of its own starts with no scratch, so the real transforms alone size it.
TEST(RealTransform, HalfOfTheComplexOneWhateverTheBuffers) {
    std::thread([] {
        for (std::size_t n : {2u, 6u, 14u, 40u, 160u, 1536u, 3584u}) {
            const std::size_t m = n / 2 + 1;
            cvec z = noise(n);
            AlignedVector<float> x(n + 2), mis_in(n + 1);
            for (std::size_t j = 0; j < n; ++j) x[j] = mis_in[j + 1] = z[j].real(), z[j].imag(0.0f);
            transform(z, true);
            AlignedVector<std::complex<float>> half(m), mis_out(m + 1), spec(m), back_in(m);
            AlignedVector<float> back(n), mis_back(n + 1);
            real_forward(std::span(x).first(n), half);
            for (std::size_t k = 0; k < m; ++k)
                ASSERT_LT(std::abs(half[k] - z[k]), 1e-5f * std::sqrt(float(n))) << n << " " << k;
            real_forward(std::span(mis_in).subspan(1), std::span(mis_out).subspan(1));
            EXPECT_TRUE(std::equal(half.begin(), half.end(), mis_out.begin() + 1)) << "misaligned " << n;
            real_forward(std::span(x).first(n), {reinterpret_cast<std::complex<float>*>(x.data()), m});  // in place
            EXPECT_EQ(0, std::memcmp(x.data(), half.data(), m * sizeof(half[0]))) << "in place " << n;

            back_in = half;
            real_inverse(back_in, back);
            for (std::size_t j = 0; j < n; ++j)
                ASSERT_LT(std::abs(back[j] / float(n) - mis_in[j + 1]), 1e-5f) << n << " " << j;
            std::copy(half.begin(), half.end(), mis_out.begin() + 1);
            real_inverse(std::span(mis_out).subspan(1), std::span(mis_back).subspan(1));
            EXPECT_TRUE(std::equal(back.begin(), back.end(), mis_back.begin() + 1)) << "misaligned inverse " << n;
            spec = half;
            real_inverse(spec, {reinterpret_cast<float*>(spec.data()), n});
            EXPECT_EQ(0, std::memcmp(spec.data(), back.data(), n * sizeof(float))) << "in place inverse " << n;
        }
    }).join();
    AlignedVector<float> samples(8);
    AlignedVector<std::complex<float>> bins(5);
    for (auto [n, b, message] : {std::tuple{3ul, 2ul, "a real transform needs an even length of at least 2, got 3"},
                                 {0, 1, "a real transform needs an even length of at least 2, got 0"},
                                 {8, 4, "a real transform of 8 samples has 5 bins, got 4"}}) {
        EXPECT_EQ(fault_message([&] { real_forward(std::span(samples).first(n), std::span(bins).first(b)); }), message);
        EXPECT_EQ(fault_message([&] { real_inverse(std::span(bins).first(b), std::span(samples).first(n)); }), message);
    }
}

// Each thread plans for itself (one plan per length and direction) and gets the same bytes.
TEST(Transform, SameBytesOnConcurrentThreads) {
    const std::vector<std::size_t> lengths{1536, 3584, 4096, 10240, 4096, 0};
    std::vector<cvec> out[4];
    std::vector<std::size_t> plans[4];
    std::barrier sync(4);
    std::vector<std::thread> threads;
    for (std::size_t w = 0; w < 4; ++w) {
        threads.emplace_back([&, w] {
            sync.arrive_and_wait();  // all threads plan at once
            for (auto n : lengths) plans[w].push_back(plan_count()), transform(out[w].emplace_back(noise(n)), true);
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        cvec want = noise(lengths[i]);
        transform(want, true);
        for (std::size_t w = 0; w < 4; ++w) EXPECT_TRUE(out[w][i] == want) << "thread " << w << " row " << i;
        for (std::size_t w = 0; w < 4; ++w) EXPECT_EQ(plans[w][i], std::min(i, 4ul)) << "plans, thread " << w;
    }
}
