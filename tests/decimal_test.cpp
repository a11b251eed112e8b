// The one decimal parser: what it reads, where it stops, and that no digit
// string overflows it.
#include "audio/decimal.h"

#include <gtest/gtest.h>

namespace {

TEST(Decimal, ReadsDigitsAndStopsAtTheFirstOtherByte)
{
    const char* end = nullptr;
    EXPECT_EQ(read_decimal_digits("0042x", &end), 42u);
    EXPECT_STREQ(end, "x");
    EXPECT_EQ(read_decimal_digits("-5", &end), 0u) << "a sign is the caller's business";
    EXPECT_STREQ(end, "-5");
    EXPECT_EQ(read_decimal_digits("", nullptr), 0u);
}

TEST(Decimal, SaturatesInsteadOfOverflowing)
{
    EXPECT_EQ(read_decimal_digits("4611686018427387903", nullptr), kDecimalCeiling - 1);
    EXPECT_EQ(read_decimal_digits("4611686018427387904", nullptr), kDecimalCeiling);
    EXPECT_EQ(read_decimal_digits("99999999999999999999999999999999", nullptr), kDecimalCeiling);
}

TEST(Decimal, Uint32IsAllDigitsAndFits)
{
    uint32_t value = 7;
    EXPECT_TRUE(parse_uint32("4294967295", &value));
    EXPECT_EQ(value, 4294967295u);
    value = 7;
    for (const char* text : {"", "4294967296", "12 rest", "+1", " 1", "1x", "-0"})
        EXPECT_FALSE(parse_uint32(text, &value)) << text;
    EXPECT_EQ(value, 7u) << "a failed parse leaves the value alone";
}

}  // namespace
