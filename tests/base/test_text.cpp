// Numbers as text: every base and width the callers use, the extremes of 64 bits, and never a
// byte past the number's NUL.
#include "base/text.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

namespace {

TEST(FormatNumber, BasesWidthsAndExtremes)
{
    const struct { uint64_t value; uint32_t base, width; const char *text; } cases[] = {
        {0, 10, 0, "0"},
        {7, 10, 0, "7"},
        {1234567890, 10, 0, "1234567890"},
        {UINT64_MAX, 10, 0, "18446744073709551615"},
        {UINT64_MAX, 16, 0, "ffffffffffffffff"},
        {UINT64_MAX, 8, 0, "1777777777777777777777"},
        {0100644, 8, 0, "100644"},
        {0x0A, 16, 2, "0a"},
        {0xAB, 16 | NumberUpper, 2, "AB"},
        {0x1F, 16 | NumberUpper, 4, "001F"},
        {0, 16, 2, "00"},
        {5, 10, 4, "0005"},
        {12345, 10, 2, "12345"},
        {1, 10, 100, "00000000000000000000001"},    // the width stops at NumberTextSize
        {255, 2, 0, "255"},                          // no base below 8: decimal
    };
    for (const auto &c : cases) {
        char out[NumberTextSize + 8];
        memset(out, '#', sizeof out);
        uint32_t n = FormatNumber(out, c.value, c.base, c.width);
        EXPECT_STREQ(c.text, out) << c.value << " base " << c.base;
        EXPECT_EQ(strlen(c.text), n);
        for (size_t k = n + 1; k < sizeof out; k++)
            EXPECT_EQ('#', out[k]) << c.text;
    }
}

TEST(FormatSigned, SignAndTheMostNegative)
{
    const struct { int64_t value; const char *text; } cases[] = {
        {0, "0"}, {9, "9"}, {-1, "-1"}, {-40, "-40"}, {INT64_MAX, "9223372036854775807"},
        {INT64_MIN, "-9223372036854775808"}, {INT32_MIN, "-2147483648"}};
    for (const auto &c : cases) {
        char out[NumberTextSize + 8];
        memset(out, '#', sizeof out);
        uint32_t n = FormatSigned(out, c.value);
        EXPECT_STREQ(c.text, out) << c.value;
        EXPECT_EQ(strlen(c.text), n);
        for (size_t k = n + 1; k < sizeof out; k++)
            EXPECT_EQ('#', out[k]) << c.text;
    }
}

}  // namespace
