// Cost of one draw from a stream: normal and uniform, both generators.
// Each iteration fills a block of draws (as the noise synthesis does);
// items_per_second gives draws per second.
#include "korvane/rng.hpp"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using korvane::rng::DrawSource;
using korvane::rng::Variant;

constexpr std::size_t block = 4096;

template <Variant V>
void BM_Normal(benchmark::State& state) {
    DrawSource d = DrawSource::for_key(V, 0x5EED);
    std::vector<float> out(block);
    for (auto _ : state) {
        for (float& x : out) x = d.normal();
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(block));
}

template <Variant V>
void BM_Uniform(benchmark::State& state) {
    DrawSource d = DrawSource::for_key(V, 0x5EED);
    std::vector<float> out(block);
    for (auto _ : state) {
        for (float& x : out) x = d.uniform();
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(block));
}

BENCHMARK(BM_Normal<Variant::Pcg>)->Name("normal/pcg");
BENCHMARK(BM_Normal<Variant::Fixture>)->Name("normal/fixture");
BENCHMARK(BM_Uniform<Variant::Pcg>)->Name("uniform/pcg");
BENCHMARK(BM_Uniform<Variant::Fixture>)->Name("uniform/fixture");

}  // namespace

BENCHMARK_MAIN();
