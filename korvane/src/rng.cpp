#include "korvane/rng.hpp"

#include <algorithm>
#include <cstdlib>

#include "korvane/isa.hpp"

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

using detail::lcg_jump;
using detail::LcgJump;

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

// The 64-bit output of PCG32 whose first half comes from state s.
constexpr std::uint64_t pcg_word(std::uint64_t s, std::uint64_t increment) noexcept {
    return std::uint64_t{xsh_rr(s)} | (std::uint64_t{xsh_rr(s * pcg_multiplier + increment)} << 32);
}

// PCG32 read 64 bits at a time, with both steps of an output taken from the
// state before it: the chain from one output to the next is one multiply-add,
// not two (the step's multiply latency bounds the draw-by-draw normal fill).
struct PcgPairs {
    static constexpr LcgJump two = lcg_jump(2);
    std::uint64_t state;
    std::uint64_t increment;
    std::uint64_t increment2;  // two.g * increment

    std::uint64_t next_u64() noexcept {
        const std::uint64_t s = state;
        state = two.a * s + increment2;
        return pcg_word(s, increment);
    }
};

#if defined(__x86_64__)
// 64-bit outputs of a PCG32 stream made ahead in bulk and read in order, so
// that the ziggurat's attempts do not wait on the step chain. The stream's
// position is the outputs read, not those made: state() jumps the state before
// buf[0] over the ones read.
struct PcgAhead {
    static constexpr std::size_t capacity = 512;
    std::uint64_t increment;
    std::uint64_t first;  // the state before buf[0]
    std::uint64_t after;  // the state after buf[end - 1]
    std::size_t pos = 0;
    std::size_t end = 0;
    std::size_t hint = 1;  // outputs worth making at the next refill: the draws still owed, >= 1
    std::uint64_t buf[capacity];

    explicit PcgAhead(const Lcg64Xsh32& g) noexcept : increment(g.increment), first(g.state), after(g.state) {}
    void refill() noexcept {
        // Every draw still owed takes at least one output, so none made here is wasted
        // unless draws are rejected at the very end.
        const std::size_t n = std::min(hint, capacity);
        first = after;
        after = detail::avx512::pcg_words(first, increment, buf, n);
        pos = 0;
        end = n;
    }
    std::uint64_t next_u64() noexcept {
        if (pos == end) refill();
        return buf[pos++];
    }
    std::uint64_t state() const noexcept {
        const LcgJump to = lcg_jump(2 * pos);
        return to.a * first + to.g * increment;
    }
};

// The ziggurat over outputs made ahead; exact to the draw-by-draw fill, which
// it replaces output for output (the rare slow path reads on from the buffer).
Lcg64Xsh32 normals_ahead(Lcg64Xsh32 g, std::span<float> out) {
    const detail::ZigguratTables& z = detail::ziggurat_tables();
    PcgAhead ahead(g);
    const std::size_t n = out.size();
    std::size_t pos = 0;  // ahead.pos, kept in a register on the fast path
    std::size_t end = 0;
    for (std::size_t j = 0; j < n;) {
        if (pos == end) {
            ahead.hint = n - j;
            ahead.refill();
            pos = 0;
            end = ahead.end;
        }
        // Up to the end of the outputs made or of the draws owed, whichever is first.
        const std::size_t stop = j + std::min(n - j, end - pos);
        while (j < stop) {
            const std::uint64_t bits = ahead.buf[pos++];
            const detail::ZigguratAttempt a = detail::attempt_from(bits, z);
            if (detail::inside_rectangle(a, z)) [[likely]] {
                out[j++] = static_cast<float>(a.x);
                continue;
            }
            ahead.pos = pos;
            ahead.hint = n - j;
            out[j++] = static_cast<float>(detail::normal_rest(ahead, z, bits));
            pos = ahead.pos;
            end = ahead.end;
            break;
        }
    }
    ahead.pos = pos;
    g.state = ahead.state();
    return g;
}
#endif

}  // namespace

namespace detail {

bool pcg_normals_ahead([[maybe_unused]] Lcg64Xsh32& g, [[maybe_unused]] std::span<float> out) {
#if defined(__x86_64__)
    if (isa::widest() == isa::Set::Avx512) {
        g = normals_ahead(g, out);
        return true;
    }
#endif
    return false;
}

void pcg_normals_by_draw(Lcg64Xsh32& g, std::span<float> out) {
    g.state = normals(PcgPairs{g.state, g.increment, PcgPairs::two.g * g.increment}, out).state;
}

}  // namespace detail

void DrawSource::fill_normal(std::span<float> out) {
    if (variant_ == Variant::Pcg) {
        if (!detail::pcg_normals_ahead(pcg_, out)) detail::pcg_normals_by_draw(pcg_, out);
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

DrawSource DrawSource::for_station(std::uint64_t seed) { return for_key(variant_from_environment(), seed); }

}  // namespace korvane::rng
