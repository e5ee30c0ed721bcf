#include "korvane/rng.hpp"

#include <algorithm>
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

// Calls emit(i, state before output i) for i < n, where one output takes
// `Steps` LCG steps, and leaves g n outputs on. The states come from `lanes`
// independent chains, each jumping `lanes` outputs at a time, so that their
// multiply-adds overlap instead of waiting on one another.
constexpr std::size_t lanes = 8;
template <std::size_t Steps, class Emit>
void pcg_outputs(Lcg64Xsh32& g, std::size_t n, Emit emit) {
    constexpr LcgJump one = lcg_jump(Steps);
    constexpr LcgJump stride = lcg_jump(lanes * Steps);
    const std::uint64_t c = stride.g * g.increment;
    std::uint64_t s[lanes];
    s[0] = g.state;
    for (std::size_t j = 1; j < lanes; ++j) s[j] = one.a * s[j - 1] + one.g * g.increment;
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        for (std::size_t j = 0; j < lanes; ++j) {
            emit(i + j, s[j]);
            s[j] = stride.a * s[j] + c;
        }
    }
    // s[j] is now the state before output i + j.
    for (std::size_t j = 0; i + j < n; ++j) emit(i + j, s[j]);
    g.state = s[n - i];
}

// next_u64 of g, n times, into out.
void fill_u64(Lcg64Xsh32& g, std::uint64_t* out, std::size_t n) {
    const std::uint64_t inc = g.increment;
    pcg_outputs<2>(g, n, [out, inc](std::size_t i, std::uint64_t s) {
        const std::uint64_t hi = xsh_rr(s * pcg_multiplier + inc);
        out[i] = xsh_rr(s) | (hi << 32);
    });
}
// Calls emit(i, output i) for the next n outputs of g (each independent of
// the others) and leaves g n outputs on.
template <class Emit>
void fixture_outputs(fixture::FixtureDraws& g, std::size_t n, Emit emit) {
    const std::uint64_t s0 = g.state;
    for (std::size_t i = 0; i < n; ++i) emit(i, mix64(s0 + (i + 1) * golden));
    g.state += n * golden;
}
void fill_u64(fixture::FixtureDraws& g, std::uint64_t* out, std::size_t n) {
    fixture_outputs(g, n, [out](std::size_t i, std::uint64_t w) { out[i] = w; });
}

// g as after n more next_u64.
void skip_u64(Lcg64Xsh32& g, std::size_t n) {
    const LcgJump j = lcg_jump(2 * n);
    g.state = j.a * g.state + j.g * g.increment;
}
void skip_u64(fixture::FixtureDraws& g, std::size_t n) { g.state += n * golden; }

// The 64-bit outputs of a generator, produced a block at a time into a
// buffer and handed out in stream order.
template <class G>
class Blocked {
public:
    explicit Blocked(G g) noexcept : gen_(g), start_(g) {}

    // Outputs wanted at least before the fill ends (one per pending draw):
    // a block never runs much past the last draw.
    std::size_t pending = 1;

    std::uint64_t next_u64() {
        if (pos_ == count_) refill();
        return buf_[pos_++];
    }
    // The generator as after the outputs handed out so far.
    G consumed() const noexcept {
        G g = start_;
        skip_u64(g, pos_);
        return g;
    }

private:
    static constexpr std::size_t block = 64;

    [[gnu::noinline]] void refill() {
        start_ = gen_;
        count_ = std::clamp(pending, std::size_t{1}, block);
        fill_u64(gen_, buf_, count_);
        pos_ = 0;
    }

    G gen_;    // after the last output in the buffer
    G start_;  // before the first output in the buffer
    std::size_t pos_ = 0;
    std::size_t count_ = 0;
    std::uint64_t buf_[block];
};

template <class G>
G fill_normals(G g, std::span<float> out) {
    const detail::ZigguratTables& z = detail::ziggurat_tables();
    Blocked<G> blocked(g);
    for (std::size_t i = 0; i < out.size(); ++i) {
        blocked.pending = out.size() - i;
        out[i] = detail::normal_from(blocked, z);
    }
    return blocked.consumed();
}

// 24 top bits of a 32-bit output, as uniform_from takes them.
float uniform_of(std::uint32_t u) noexcept {
    return static_cast<float>(static_cast<std::int32_t>(u >> 8)) * 0x1p-24f;
}

}  // namespace

void DrawSource::fill_normal(std::span<float> out) {
    if (variant_ == Variant::Pcg) {
        pcg_ = fill_normals(pcg_, out);
    } else {
        fixture_ = fill_normals(fixture_, out);
    }
}

void DrawSource::fill_uniform(std::span<float> out) noexcept {
    float* const o = out.data();
    if (variant_ == Variant::Pcg) {
        pcg_outputs<1>(pcg_, out.size(), [o](std::size_t i, std::uint64_t s) { o[i] = uniform_of(xsh_rr(s)); });
    } else {
        fixture_outputs(fixture_, out.size(),
                        [o](std::size_t i, std::uint64_t w) { o[i] = uniform_of(static_cast<std::uint32_t>(w >> 32)); });
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
