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

template <Variant V, bool Normal>
void BM_Draw(benchmark::State& state) {
    DrawSource d = DrawSource::for_key(V, 0x5EED);
    std::vector<float> out(block);
    for (auto _ : state) {
        for (float& x : out) x = Normal ? d.normal() : d.uniform();
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(block));
}

// The same block through fill_normal / fill_uniform.
template <Variant V, bool Normal>
void BM_Fill(benchmark::State& state) {
    DrawSource d = DrawSource::for_key(V, 0x5EED);
    std::vector<float> out(block);
    for (auto _ : state) {
        if (Normal) {
            d.fill_normal(out);
        } else {
            d.fill_uniform(out);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(block));
}

BENCHMARK(BM_Draw<Variant::Pcg, true>)->Name("normal/pcg");
BENCHMARK(BM_Fill<Variant::Pcg, true>)->Name("fill_normal/pcg");
BENCHMARK(BM_Draw<Variant::Fixture, true>)->Name("normal/fixture");
BENCHMARK(BM_Fill<Variant::Fixture, true>)->Name("fill_normal/fixture");
BENCHMARK(BM_Draw<Variant::Pcg, false>)->Name("uniform/pcg");
BENCHMARK(BM_Fill<Variant::Pcg, false>)->Name("fill_uniform/pcg");
BENCHMARK(BM_Draw<Variant::Fixture, false>)->Name("uniform/fixture");
BENCHMARK(BM_Fill<Variant::Fixture, false>)->Name("fill_uniform/fixture");

}  // namespace

BENCHMARK_MAIN();
