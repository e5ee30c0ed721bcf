#include "korvane/rng.hpp"

#include <cstdlib>

namespace korvane::rng {

namespace detail {

ZigguratTables build_ziggurat_tables() {
    const auto f = [](double x) { return std::exp(-(x * x) / 2.0); };
    const auto f_inv = [](double y) { return std::sqrt(-2.0 * std::log(y)); };
    ZigguratTables t{};
    t.x[0] = zig_v / f(zig_r);
    t.x[1] = zig_r;
    for (std::size_t i = 1; i <= 255; ++i) t.x[i + 1] = f_inv(f(t.x[i]) + zig_v / t.x[i]);
    t.x[256] = 0.0;  // the recurrence lands next to 0; the top layer's edge is exactly 0
    for (std::size_t i = 0; i <= 256; ++i) t.f[i] = f(t.x[i]);
    return t;
}

}  // namespace detail

namespace {

// k steps of the PCG32 LCG as one affine map, state_k = a * state + g * increment,
// by repeated squaring (Brown 1994, "Random number generation with arbitrary
// strides", Trans. Am. Nucl. Soc. 71).
struct LcgJump {
    std::uint64_t a;
    std::uint64_t g;
};
constexpr LcgJump lcg_jump(std::uint64_t k) noexcept {
    LcgJump acc{1, 0};
    LcgJump step{pcg_multiplier, 1};
    for (; k != 0; k >>= 1) {
        if ((k & 1) != 0) acc = {acc.a * step.a, acc.g * step.a + step.g};
        step = {step.a * step.a, step.g * step.a + step.g};
    }
    return acc;
}

// Uniforms of a PCG32 stream into out, leaving g out.size() outputs on. The
// states come from `lanes` independent chains, each jumping `lanes` outputs
// at a time, so that their multiply-adds overlap instead of each waiting on
// the one before (the serial step is bound by the multiply's latency).
constexpr std::size_t lanes = 8;
void pcg_uniforms(Lcg64Xsh32& g, std::span<float> out) noexcept {
    constexpr LcgJump stride = lcg_jump(lanes);
    const std::uint64_t c = stride.g * g.increment;
    std::uint64_t s[lanes];
    s[0] = g.state;
    for (std::size_t j = 1; j < lanes; ++j) s[j] = s[j - 1] * pcg_multiplier + g.increment;
    const auto uniform_at = [](std::uint64_t state) {
        Lcg64Xsh32 one{state, 0};
        return detail::uniform_from(one);
    };
    const std::size_t n = out.size();
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        for (std::size_t j = 0; j < lanes; ++j) {
            out[i + j] = uniform_at(s[j]);
            s[j] = stride.a * s[j] + c;
        }
    }
    // s[j] is now the state before output i + j.
    for (std::size_t j = 0; i + j < n; ++j) out[i + j] = uniform_at(s[j]);
    g.state = s[n - i];
}

// The per-draw calls on a local copy of the generator: one variant branch per
// fill, and the state stays in registers.
template <class G>
G normals(G g, std::span<float> out) {
    const detail::ZigguratTables& z = detail::ziggurat_tables();
    for (float& x : out) x = detail::normal_from(g, z);
    return g;
}
template <class G>
G uniforms(G g, std::span<float> out) noexcept {
    for (float& x : out) x = detail::uniform_from(g);
    return g;
}

}  // namespace

void DrawSource::fill_normal(std::span<float> out) {
    if (variant_ == Variant::Pcg) {
        pcg_ = normals(pcg_, out);
    } else {
        fixture_ = normals(fixture_, out);
    }
}

void DrawSource::fill_uniform(std::span<float> out) noexcept {
    if (variant_ == Variant::Pcg) {
        pcg_uniforms(pcg_, out);
    } else {
        fixture_ = uniforms(fixture_, out);
    }
}

Lcg64Xsh32 seed_pcg(std::uint64_t key) noexcept {
    // Expand the key into 16 seed bytes with the PCG32 step, taking each
    // output from the state after the step.
    std::uint64_t s = key;
    std::uint64_t o[4];
    for (auto& out : o) {
        s = s * pcg_multiplier + pcg_seed_increment;
        out = xsh_rr(s);
    }
    const std::uint64_t lo = o[0] | (o[1] << 32);
    const std::uint64_t hi = o[2] | (o[3] << 32);
    Lcg64Xsh32 g{};
    g.increment = hi | 1;
    g.state = (lo + g.increment) * pcg_multiplier + g.increment;
    return g;
}

fixture::FixtureDraws seed_fixture(std::uint64_t key) noexcept {
    // Only the low 32 bits count, read as signed and sign-extended.
    const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(key));
    return fixture::FixtureDraws{static_cast<std::uint64_t>(static_cast<std::int64_t>(low)) ^ golden};
}

DrawSource DrawSource::for_key(Variant v, std::uint64_t key) noexcept {
    return v == Variant::Pcg ? DrawSource(seed_pcg(key)) : DrawSource(seed_fixture(key));
}

Variant variant_from_environment() noexcept {
    return std::getenv("KORVANE_FIXTURE_RNG") != nullptr ? Variant::Fixture : Variant::Pcg;
}

DrawSource DrawSource::for_station(std::uint64_t seed) {
    return for_key(variant_from_environment(), seed);
}

}  // namespace korvane::rng
