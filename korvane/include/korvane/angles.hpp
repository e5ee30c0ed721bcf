// Angle constants of the core, in f32: pi and its multiples from
// std::numbers, and the degree-to-radian factor pi / 180 rounded once to f32.
// The records depend on these exact float values, so each is pinned below.
#pragma once

#include <numbers>

namespace korvane {

inline constexpr float kPi = std::numbers::pi_v<float>;
inline constexpr float kHalfPi = kPi / 2.0f;  // exact: halving and doubling keep the bits
inline constexpr float kTwoPi = 2.0f * kPi;
inline constexpr float kFourPi = 4.0f * kPi;
// Multiplying by this is not the same as `* kPi / 180` (two roundings); the
// code uses whichever form the record was defined with.
inline constexpr float kDegToRad = static_cast<float>(std::numbers::pi / 180.0);

static_assert(kPi == 3.1415927f && kHalfPi == 1.5707964f && kTwoPi == 6.2831855f && kFourPi == 12.566371f &&
              kDegToRad == 0.017453292f);

}  // namespace korvane
