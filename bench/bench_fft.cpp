// Cost of one cached in-place transform per length and direction, and of the
// real transforms (out of place, on aligned buffers, as the synthesis runs
// them). Each in-place iteration restores the input from a pristine copy (an
// unnormalised transform repeated in place would overflow); "copy" times that
// restore alone. The real forward transform reads its input unchanged; the
// real inverse may work in its input, so it too restores it each time. The
// baseline correction runs in place on the same noise again and again: after
// the first pass the line it adds is near zero, and its cost does not depend
// on the values.
#include "korvane/fft.hpp"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<std::complex<float>> noise(std::size_t n) {
    std::mt19937 gen(1);
    std::normal_distribution<float> d;
    std::vector<std::complex<float>> v(n);
    for (auto& c : v) c = {d(gen), d(gen)};
    return v;
}

void run(benchmark::State& state, bool forward, bool do_transform) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto src = noise(n);
    std::vector<std::complex<float>> buf = src;
    korvane::fft::transform(buf, forward);  // the plan is made outside the timing
    for (auto _ : state) {
        std::memcpy(buf.data(), src.data(), n * sizeof(src[0]));
        if (do_transform) korvane::fft::transform(buf, forward);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_Forward(benchmark::State& s) { run(s, true, true); }
void BM_Inverse(benchmark::State& s) { run(s, false, true); }
void BM_Copy(benchmark::State& s) { run(s, true, false); }

void lengths(benchmark::internal::Benchmark* b) {
    for (long n : {1024, 1536, 2048, 2560, 3584, 4096, 8192, 16384}) b->Arg(n);
}

void BM_RealForward(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto src = noise(n);
    korvane::fft::AlignedVector<float> in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = src[i].real();
    korvane::fft::AlignedVector<std::complex<float>> out(n / 2 + 1);
    korvane::fft::real_forward(in, out);
    for (auto _ : state) {
        korvane::fft::real_forward(in, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_RealInverse(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto src = noise(n / 2 + 1);
    korvane::fft::AlignedVector<std::complex<float>> in(src.begin(), src.end());
    korvane::fft::AlignedVector<float> out(n);
    korvane::fft::real_inverse(in, out);
    for (auto _ : state) {
        std::memcpy(in.data(), src.data(), in.size() * sizeof(src[0]));
        korvane::fft::real_inverse(in, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_Baseline(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<float> a(n);
    std::mt19937 gen(1);
    std::normal_distribution<float> d;
    for (float& x : a) x = d(gen);
    for (auto _ : state) {
        korvane::fft::correct_baseline(a, 0.01f);
        benchmark::DoNotOptimize(a.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

BENCHMARK(BM_Baseline)->Name("correct_baseline")->Arg(4096)->Arg(16384);
BENCHMARK(BM_Forward)->Name("transform/forward")->Apply(lengths);
BENCHMARK(BM_Inverse)->Name("transform/inverse")->Apply(lengths);
BENCHMARK(BM_Copy)->Name("copy")->Apply(lengths);
BENCHMARK(BM_RealForward)->Name("real_forward")->Apply(lengths);
BENCHMARK(BM_RealInverse)->Name("real_inverse")->Apply(lengths);

}  // namespace

BENCHMARK_MAIN();
