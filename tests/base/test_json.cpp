// JSON Lines, bounded: what the writer makes of awkward text, that a line that does not fit is
// refused whole and never written past its buffer, that the reader takes back every name the
// writer wrote (through "_hex" where the name is not UTF-8), and that it refuses a malformed
// line rather than guess.
#include "base/json.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

// `text` alone as a JSON string, and whether it was valid UTF-8.
std::string Written(const std::string &text, int *valid)
{
    char buffer[256];
    JsonLine line;
    JsonBegin(&line, buffer, sizeof buffer);
    *valid = JsonString(&line, text.c_str());
    EXPECT_FALSE(line.overflow);
    return std::string(buffer, line.length);
}

TEST(JsonWriter, EscapesQuotesBackslashesControlsAndReplacesInvalidBytes)
{
    const struct { const char *text, *json; int valid; } cases[] = {
        {"", "\"\"", 1},
        {"plain name.exe", "\"plain name.exe\"", 1},
        {"a\"b\\c/d", "\"a\\\"b\\\\c/d\"", 1},
        {"\x01\x09\x0a\x1f\x7f", "\"\\u0001\\u0009\\u000a\\u001f\\u007f\"", 1},
        {"C1 \xc2\x85 and \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
         "\"C1 \xc2\x85 and \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf\"", 1},
        {"bad\xff", "\"bad\xef\xbf\xbd\"", 0},
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\"", 0},                   // overlong '/'
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"", 0},    // a surrogate
        {"\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"", 0},
        {"cut \xe2\x82", "\"cut \xef\xbf\xbd\xef\xbf\xbd\"", 0},
        {"\x01\xff\"", "\"\\u0001\xef\xbf\xbd\\\"\"", 0},
    };
    for (const auto &c : cases) {
        int valid = -1;
        EXPECT_EQ(c.json, Written(c.text, &valid)) << c.text;
        EXPECT_EQ(c.valid, valid) << c.text;
    }
}

// Everything the writer has, in one line: commas come by themselves, in and after nested
// objects and arrays, and every number keeps its extremes.
void Everything(JsonLine *line)
{
    JsonOpen(line, '{');
    JsonKey(line, "event");
    JsonString(line, "report");
    JsonKey(line, "report");
    JsonOpen(line, '{');
    JsonKey(line, "a");
    JsonUnsigned(line, UINT64_MAX);
    JsonKey(line, "b");
    JsonSigned(line, INT64_MIN);
    JsonClose(line, '}');
    JsonKey(line, "ok");
    JsonBoolean(line, 1);
    JsonKey(line, "paths");
    JsonOpen(line, '[');
    for (const char *path : {"x", "y"}) {
        JsonOpen(line, '{');
        JsonName(line, "path", path);
        JsonClose(line, '}');
    }
    JsonClose(line, ']');
    JsonName(line, "file", "a\xff" "b");
    JsonKey(line, "zero");
    JsonSigned(line, 0);
    JsonKey(line, "no");
    JsonBoolean(line, 0);
    JsonClose(line, '}');
}

const char EverythingText[] =
    "{\"event\":\"report\",\"report\":{\"a\":18446744073709551615,\"b\":-9223372036854775808},"
    "\"ok\":true,\"paths\":[{\"path\":\"x\"},{\"path\":\"y\"}],\"file\":\"a\xef\xbf\xbd" "b\","
    "\"file_hex\":\"61ff62\",\"zero\":0,\"no\":false}\n";

TEST(JsonWriter, CommasPunctuationNumbersAndHex)
{
    char buffer[512];
    JsonLine line;
    JsonBegin(&line, buffer, sizeof buffer);
    Everything(&line);
    ASSERT_TRUE(JsonEnd(&line));
    EXPECT_EQ(EverythingText, std::string(buffer, line.length));
}

// At every size short of the whole line the line is refused, nothing is written past the
// buffer, and nothing is added once something did not fit.
TEST(JsonWriter, ALineThatDoesNotFitIsRefusedWholeAndNothingIsWrittenPastTheBuffer)
{
    const std::string whole = EverythingText;
    for (uint32_t size = 0; size <= whole.size() + 1; size++) {
        std::vector<char> buffer(size + 16, '#');
        JsonLine line;
        JsonBegin(&line, buffer.data(), size);
        Everything(&line);
        int fit = JsonEnd(&line);
        EXPECT_EQ(size >= whole.size(), fit != 0) << size;
        EXPECT_EQ(fit == 0, line.overflow != 0) << size;
        EXPECT_LE(line.length, size);
        EXPECT_EQ(std::string(16, '#'), std::string(buffer.data() + size, 16)) << size;
        std::string written(buffer.data(), line.length);
        EXPECT_EQ(0u, whole.find(written)) << size;
        if (!fit) {
            // A piece that would have fitted after the one that did not is not written either.
            uint32_t length = line.length;
            JsonBoolean(&line, 0);
            EXPECT_EQ(length, line.length) << size;
        }
    }
}

// A one-member line read back: its kind, text or number, or -1 when refused.
struct Read {
    int got;          // the first JsonReadMember's answer
    int end;          // the second's
    std::string key, text;
    JsonMember member;
};

Read ReadOne(const std::string &line, uint32_t textSize = 64)
{
    Read r;
    std::vector<char> key(16, 'z'), text(textSize, 'z');   // what was there before is not kept
    key.back() = text.back() = 0;
    r.member = {key.data(), (uint32_t)key.size(), text.data(), textSize, 0, 0, 0, 0};
    JsonReader reader;
    JsonReadBegin(&reader, line.c_str());
    r.got = JsonReadMember(&reader, &r.member);
    if (r.got > 0) {
        r.key = key.data();
        r.text = text.data();
    }
    JsonMember after = r.member;          // the end read into a member of its own
    r.end = r.got > 0 ? JsonReadMember(&reader, &after) : r.got;
    r.member.key = r.member.text = nullptr;
    return r;
}

TEST(JsonReader, AcceptsEscapesSurrogatePairsNumbersBooleansAndWhiteSpace)
{
    const struct { const char *line; int kind; const char *text; uint64_t number; int negative; }
    cases[] = {
        {"{\"k\":\"plain\"}", JsonKindString, "plain", 0, 0},
        {" \t{ \"k\" :\r\"\" } \t", JsonKindString, "", 0, 0},
        {"{\"k\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"}", JsonKindString, "\"\\/\b\f\n\r\t", 0, 0},
        {"{\"k\":\"\\u0001\\u007F\\u00e9\\u20AC\"}", JsonKindString, "\x01\x7f\xc3\xa9\xe2\x82\xac",
         0, 0},
        {"{\"k\":\"\\ud83d\\ude00 \\uDBFF\\uDFFF\"}", JsonKindString,
         "\xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf", 0, 0},
        {"{\"k\":\"raw \xc3\xa9\xf0\x9f\x98\x80\x7f\"}", JsonKindString,
         "raw \xc3\xa9\xf0\x9f\x98\x80\x7f", 0, 0},
        {"{\"k\":0}", JsonKindNumber, "", 0, 0},
        {"{\"k\":18446744073709551615}", JsonKindNumber, "", UINT64_MAX, 0},
        {"{\"k\":-9223372036854775808}", JsonKindNumber, "", 9223372036854775808ull, 1},
        {"{\"k\":-0}", JsonKindNumber, "", 0, 1},
        {"{\"k\":true}", JsonKindBoolean, "", 1, 0},
        {"{\"k\" : false }", JsonKindBoolean, "", 0, 0},
    };
    for (const auto &c : cases) {
        Read r = ReadOne(c.line);
        ASSERT_EQ(1, r.got) << c.line;
        EXPECT_EQ(0, r.end) << c.line;
        EXPECT_EQ("k", r.key) << c.line;
        EXPECT_EQ(c.kind, r.member.kind) << c.line;
        EXPECT_EQ(c.text, r.text) << c.line;
        EXPECT_EQ(c.number, c.kind == JsonKindBoolean ? (uint64_t)r.member.boolean
                                                       : r.member.number) << c.line;
        EXPECT_EQ(c.negative, r.member.negative) << c.line;
    }
}

TEST(JsonReader, RefusesWhatIsMalformedOrDoesNotFit)
{
    const std::string fits(63, 'x'), tooLong(64, 'x');
    const std::string cases[] = {
        "", "   ", "[]", "\"k\"", "{", "{\"k\"", "{\"k\":", "{\"k\":\"v\"", "{\"k\":1",
        "{\"k\":1,}", "{,\"k\":1}", "{\"k\":1,,\"j\":2}", "{\"k\" 1}", "{k:1}", "{'k':1}",
        "{\"k\":1 \"j\":2}", "{\"k\":1}x", "{\"k\":1}}", "{}{}", "{\"k\":1} ,",
        // strings
        "{\"k\":\"unterminated}", "{\"k\":\"a\x01" "b\"}", "{\"k\":\"tab\tin\"}",
        "{\"k\":\"bad \xff byte\"}", "{\"k\":\"over \xc0\xaf\"}", "{\"k\":\"cut \xe2\x82\"}",
        "{\"k\":\"\\x41\"}", "{\"k\":\"\\'\"}", "{\"k\":\"\\\"}", "{\"k\":\"\\u12\"}",
        "{\"k\":\"\\u12g4\"}", "{\"k\":\"\\u0000\"}", "{\"k\":\"\\ud800\"}",
        "{\"k\":\"\\udc00\\ud800\"}", "{\"k\":\"\\ud800\\u0041\"}", "{\"k\":\"\\ud800x\"}",
        "{\"k\":\"\\ud800\\udbff\"}", "{\"k\":\"\\ud800\\ue000\"}", "{\"k\":\"\\ud800\\", "{\"k\":\"\\u",
        // numbers and other values
        "{\"k\":18446744073709551616}", "{\"k\":99999999999999999999}",
        "{\"k\":-9223372036854775809}", "{\"k\":01}", "{\"k\":-01}", "{\"k\":1.5}",
        "{\"k\":1e3}", "{\"k\":-}", "{\"k\":+1}", "{\"k\":.5}", "{\"k\":tru}", "{\"k\":truex}",
        "{\"k\":True}", "{\"k\":null}", "{\"k\":{}}", "{\"k\":[1]}", "{\"k\":}",
        // too long for the caller's buffers: the key's is 16 bytes, the text's 64
        "{\"" + std::string(16, 'k') + "\":1}", "{\"k\":\"" + tooLong + "\"}",
        "{\"k\":\"" + fits.substr(1) + "\\u00e9\"}",
    };
    for (const auto &line : cases) {
        Read r = ReadOne(line);
        EXPECT_TRUE(r.got < 0 || r.end < 0) << line;
    }
    // The limits themselves are taken: 15 bytes of key, 63 of text, the NUL after them.
    Read r = ReadOne("{\"" + std::string(15, 'k') + "\":\"" + fits.substr(1) + "\\u0041\"}");
    EXPECT_EQ(1, r.got);
    EXPECT_EQ(0, r.end);
    EXPECT_EQ(std::string(15, 'k'), r.key);
    EXPECT_EQ(fits.substr(1) + "A", r.text);
}

TEST(JsonReader, AfterTheEndOrARefusalEveryCallIsRefused)
{
    char key[8], text[8];
    JsonMember member = {key, sizeof key, text, sizeof text, 0, 0, 0, 0};
    for (const char *line : {"{}", "{\"k\":1,}"}) {
        JsonReader reader;
        JsonReadBegin(&reader, line);
        int first = JsonReadMember(&reader, &member);
        if (first == 1)
            first = JsonReadMember(&reader, &member);
        EXPECT_LE(first, 0) << line;
        EXPECT_EQ(-1, JsonReadMember(&reader, &member)) << line;
        EXPECT_EQ(-1, JsonReadMember(&reader, &member)) << line;
    }
}

// Every name the writer writes comes back exactly: from the string where it was UTF-8, from
// "path_hex" where it was not, next to the members around it.
TEST(JsonRoundTrip, AwkwardNamesComeBackByteForByte)
{
    const std::string names[] = {
        "", "plain", "quote\"d", "back\\slash\\", "\\\"\\\"", "/slash/", "ctl\x01\x02\x1f\x7f",
        "tab\tnew\nline\rcr", "C1 \xc2\x80\xc2\x9f", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
        "bad\xff", "\xfe\xff", "over\xc0\xafl", "sur\xed\xa0\x80", "cut\xe2\x82",
        "mixed\x01\xff\"\\\xc3\xa9", std::string(300, '\x01') + "\xff",
    };
    for (const auto &name : names) {
        std::vector<char> buffer(4096);
        JsonLine line;
        JsonBegin(&line, buffer.data(), (uint32_t)buffer.size());
        JsonOpen(&line, '{');
        JsonKey(&line, "size");
        JsonUnsigned(&line, 42);
        JsonName(&line, "path", name.c_str());
        JsonKey(&line, "delta");
        JsonSigned(&line, -7);
        JsonClose(&line, '}');
        ASSERT_TRUE(JsonEnd(&line)) << name;
        ASSERT_EQ('\n', buffer[line.length - 1]);
        buffer[line.length - 1] = 0;

        char key[16], text[2048], back[1024] = "unset";
        JsonMember member = {key, sizeof key, text, sizeof text, 0, 0, 0, 0};
        JsonReader reader;
        JsonReadBegin(&reader, buffer.data());
        std::string path;
        int got, members = 0, fromHex = 0;
        int64_t delta = 0;
        uint64_t size = 0;
        while ((got = JsonReadMember(&reader, &member)) > 0) {
            members++;
            std::string k = key;
            if (k == "size" && member.kind == JsonKindNumber)
                size = member.number;
            else if (k == "delta" && member.kind == JsonKindNumber && member.negative)
                delta = -(int64_t)member.number;
            else if (k == "path" && member.kind == JsonKindString)
                path = text;
            else if (k == "path_hex" && member.kind == JsonKindString)
                fromHex = JsonReadHex(text, back, sizeof back);
            else
                ADD_FAILURE() << "member " << k << " in " << buffer.data();
        }
        EXPECT_EQ(0, got) << buffer.data();
        EXPECT_EQ(42u, size);
        EXPECT_EQ(-7, delta);
        EXPECT_EQ(fromHex ? 4 : 3, members) << buffer.data();
        EXPECT_EQ(name, fromHex ? std::string(back) : path) << buffer.data();
    }
}

TEST(JsonReadHex, PairsOfDigitsOnlyNoZeroByteAndWithinTheBuffer)
{
    const struct { const char *hex; uint32_t size; int ok; const char *bytes; } cases[] = {
        {"", 1, 1, ""},          {"41", 2, 1, "A"},        {"4a4A", 3, 1, "JJ"},
        {"ff01", 3, 1, "\xff\x01"},
        {"", 0, 0, ""},          {"4", 4, 0, ""},          {"4g", 4, 0, ""},
        {" 41", 4, 0, ""},       {"4100", 4, 0, ""},       {"00", 4, 0, ""},
        {"414243", 3, 0, ""},    {"4142", 2, 0, ""},
    };
    for (const auto &c : cases) {
        char out[8];
        memset(out, '#', sizeof out);
        EXPECT_EQ(c.ok, JsonReadHex(c.hex, out, c.size)) << c.hex << " in " << c.size;
        if (c.ok) {
            EXPECT_STREQ(c.bytes, out) << c.hex;
        }
        for (uint32_t k = c.size; k < sizeof out; k++)
            EXPECT_EQ('#', out[k]) << c.hex << " byte " << k;
    }
}

}  // namespace
