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
