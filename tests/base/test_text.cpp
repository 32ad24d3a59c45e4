// Numbers as text: every base and width the callers use, the extremes of 64 bits, and never a
// byte past the number's NUL; shell patterns as --exclude reads them.
#include "base/glob.h"
#include "base/text.h"

#include <gtest/gtest.h>
#include <string>
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

// The patterns of --exclude, as fnmatch(3) without flags reads them on POSIX and as Windows
// names files there; and a pattern of many stars against a long name that never matches ends
// at once rather than trying every way to split it.
TEST(MatchGlob, ShellPatternsAsFnmatchAndAsWindowsNamesFiles)
{
    const struct {
        const char *pattern, *text;
        int flags, matches;
    } cases[] = {
        {"*.tmp", "a.tmp", 0, 1},           {"*.tmp", "a.tmp.exe", 0, 0},
        {"*.tmp", ".tmp", 0, 1},            {"?.exe", "ab.exe", 0, 0},
        {"a?c", "abc", 0, 1},               {"[a-c]x", "bx", 0, 1},
        {"[!a-c]x", "bx", 0, 0},            {"[^a-c]x", "dx", 0, 1},
        {"[]]x", "]x", 0, 1},               {"[ab", "[ab", 0, 1},
        {"\\*", "*", 0, 1},                 {"\\*", "a", 0, 0},
        {"*/cache/*", "/srv/x/cache/y/z", 0, 1},
        {"*.TMP", "a.tmp", 0, 0},           {"*.TMP", "a.tmp", GlobWindows, 1},
        {"C:/Temp/*", "c:\\temp\\x.exe", GlobWindows, 1},
        {"[A-C]x", "bX", GlobWindows, 1},   {"", "", 0, 1},
        {"", "a", 0, 0},                    {"**", "", 0, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.matches, MatchGlob(c.pattern, c.text, c.flags)) << c.pattern << " " << c.text;
    std::string many(30, 'a'), stars;
    for (int i = 0; i < 15; i++)
        stars += "*a";
    EXPECT_EQ(0, MatchGlob((stars + "b").c_str(), many.c_str(), 0));
}
