#include "korvane/fault.hpp"

#include <gtest/gtest.h>

#include "kit.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

using namespace korvane;

using korvane::testing::fault_message;

TEST(Checked, OverflowMessages) {
    constexpr auto smax = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(checked_add<std::size_t>(2, 3), 5u);
    EXPECT_EQ(fault_message([&] { (void)checked_add<std::size_t>(smax, 1); }),
              "attempt to add with overflow");
    EXPECT_EQ(fault_message([] { (void)checked_sub<std::size_t>(0, 1); }),
              "attempt to subtract with overflow");
    EXPECT_EQ(fault_message([&] { (void)checked_mul<std::size_t>(smax / 2 + 1, 2); }),
              "attempt to multiply with overflow");
    EXPECT_EQ(checked_sub<std::int32_t>(-5, 7), -12);
    EXPECT_EQ(fault_message([] { (void)checked_add<std::int32_t>(INT32_MAX, 1); }),
              "attempt to add with overflow");
    EXPECT_EQ(fault_message([] { (void)checked_sub<std::int32_t>(INT32_MIN, 1); }),
              "attempt to subtract with overflow");
    EXPECT_EQ(fault_message([] { (void)checked_mul<std::int32_t>(65536, 32768); }),
              "attempt to multiply with overflow");
}

TEST(Checked, IndexAndRange) {
    EXPECT_NO_THROW(check_index(3, 2));
    EXPECT_EQ(fault_message([] { check_index(0, 0); }),
              "index out of bounds: the len is 0 but the index is 0");
    EXPECT_EQ(fault_message([] { check_index(4, 7); }),
              "index out of bounds: the len is 4 but the index is 7");
    EXPECT_NO_THROW(check_range_end(4, 4));
    EXPECT_EQ(fault_message([] { check_range_end(4, 5); }),
              "range end index 5 out of range for slice of length 4");
}

TEST(Convert, SaturatingTruncation) {
    const float nanf = std::numeric_limits<float>::quiet_NaN();
    const float inff = std::numeric_limits<float>::infinity();
    EXPECT_EQ(to_i32(2.9f), 2);
    EXPECT_EQ(to_i32(-2.9f), -2);
    EXPECT_EQ(to_i32(nanf), 0);
    EXPECT_EQ(to_i32(inff), INT32_MAX);
    EXPECT_EQ(to_i32(-inff), INT32_MIN);
    EXPECT_EQ(to_i32(2147483648.0f), INT32_MAX);
    EXPECT_EQ(to_i32(-2147483648.0f), INT32_MIN);
    EXPECT_EQ(to_i32(2147483520.0f), 2147483520);
    EXPECT_EQ(to_i32(-1e10), INT32_MIN);

    constexpr auto smax = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(to_usize(-0.5f), 0u);
    EXPECT_EQ(to_usize(-7.0f), 0u);
    EXPECT_EQ(to_usize(nanf), 0u);
    EXPECT_EQ(to_usize(1000.99f), 1000u);
    EXPECT_EQ(to_usize(inff), smax);
    // Largest f32 below 2^64 converts exactly; 2^64 saturates.
    EXPECT_EQ(to_usize(18446742974197923840.0f), 18446742974197923840u);
    EXPECT_EQ(to_usize(18446744073709551616.0f), smax);
    EXPECT_EQ(to_usize(std::nextafter(18446744073709551616.0, 0.0)), 18446744073709549568u);
}

TEST(Format, ShortestRoundTripPositional) {
    EXPECT_EQ(format_number(4.0f), "4");
    EXPECT_EQ(format_number(2.5f), "2.5");
    EXPECT_EQ(format_number(2.0f), "2");
    EXPECT_EQ(format_number(-0.0000001f), "-0.0000001");
    EXPECT_EQ(format_number(-0.0f), "-0");
    EXPECT_EQ(format_number(0.1f), "0.1");
    EXPECT_EQ(format_number(0.0f), "0");
    EXPECT_EQ(format_number(123456.75f), "123456.75");
    EXPECT_EQ(format_number(1e20f), "100000000000000000000");
    EXPECT_EQ(format_number(std::numeric_limits<float>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_number(-std::numeric_limits<float>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_number(std::numeric_limits<float>::infinity()), "inf");
    EXPECT_EQ(format_number(-std::numeric_limits<float>::infinity()), "-inf");
    EXPECT_EQ(format_number(4.0), "4");
    EXPECT_EQ(format_number(0.1), "0.1");
    EXPECT_EQ(format_number(4.5), "4.5");
    // 0.1f widened reads back as f64 only with all its digits.
    EXPECT_EQ(format_number(static_cast<double>(0.1f)), "0.10000000149011612");
}
