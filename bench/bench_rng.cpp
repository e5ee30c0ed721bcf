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

// The PCG32 normal fill by each of its two ways (fill_normal takes the first
// where the CPU allows; the second is what other CPUs run).
template <bool Ahead>
void BM_PcgNormalWay(benchmark::State& state) {
    korvane::rng::Lcg64Xsh32 g = *DrawSource::for_key(Variant::Pcg, 0x5EED).pcg();
    std::vector<float> out(block);
    if (Ahead && !korvane::rng::detail::pcg_normals_ahead(g, out)) {
        state.SkipWithError("this CPU lacks the vector unit of the fill ahead");
        return;
    }
    for (auto _ : state) {
        if (Ahead) {
            korvane::rng::detail::pcg_normals_ahead(g, out);
        } else {
            korvane::rng::detail::pcg_normals_by_draw(g, out);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(block));
}

BENCHMARK(BM_Draw<Variant::Pcg, true>)->Name("normal/pcg");
BENCHMARK(BM_Fill<Variant::Pcg, true>)->Name("fill_normal/pcg");
BENCHMARK(BM_PcgNormalWay<true>)->Name("fill_normal/pcg_ahead");
BENCHMARK(BM_PcgNormalWay<false>)->Name("fill_normal/pcg_by_draw");
BENCHMARK(BM_Draw<Variant::Fixture, true>)->Name("normal/fixture");
BENCHMARK(BM_Fill<Variant::Fixture, true>)->Name("fill_normal/fixture");
BENCHMARK(BM_Draw<Variant::Pcg, false>)->Name("uniform/pcg");
BENCHMARK(BM_Fill<Variant::Pcg, false>)->Name("fill_uniform/pcg");
BENCHMARK(BM_Draw<Variant::Fixture, false>)->Name("uniform/fixture");
BENCHMARK(BM_Fill<Variant::Fixture, false>)->Name("fill_uniform/fixture");

}  // namespace

BENCHMARK_MAIN();
