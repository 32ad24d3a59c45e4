#include "base/json.h"
#include "base/text.h"

#include <string.h>

/* ---- writing ------------------------------------------------------------------------------- */

void JsonBegin(JsonLine *line, char *buffer, uint32_t size)
{
    line->buffer = buffer;
    line->size = size;
    line->length = 0;
    line->overflow = 0;
    line->comma = 0;
}

/* `count` bytes as they are, or none and the line marked as not fitting. */
static void Put(JsonLine *line, const char *bytes, uint32_t count)
{
    if (line->overflow || count > line->size - line->length) {
        line->overflow = 1;
        return;
    }
    memcpy(line->buffer + line->length, bytes, count);
    line->length += count;
}

/* The comma that a value before asks for. */
static void Separate(JsonLine *line)
{
    if (line->comma)
        Put(line, ",", 1);
    line->comma = 0;
}

/* `text` escaped, with `suffix` (plain ASCII) before the closing quote. */
static int PutString(JsonLine *line, const char *text, const char *suffix)
{
    int valid = 1;
    Put(line, "\"", 1);
    for (const unsigned char *p = (const unsigned char *)text; *p;) {
        int length = Utf8Length(p);
        if (length == 0) {
            Put(line, "\xEF\xBF\xBD", 3);
            valid = 0;
            p++;
        } else if (*p == '"' || *p == '\\') {
            const char escaped[2] = {'\\', (char)*p++};
            Put(line, escaped, 2);
        } else if (*p < 0x20 || *p == 0x7F) {
            char escaped[4 + NumberTextSize] = "\\u00";
            FormatNumber(escaped + 4, *p++, 16, 2);
            Put(line, escaped, 6);
        } else {
            Put(line, (const char *)p, (uint32_t)length);
            p += length;
        }
    }
    Put(line, suffix, (uint32_t)strlen(suffix));
    Put(line, "\"", 1);
    return valid;
}

static void PutKey(JsonLine *line, const char *key, const char *suffix)
{
    Separate(line);
    PutString(line, key, suffix);
    Put(line, ":", 1);
}

void JsonOpen(JsonLine *line, char bracket)
{
    Separate(line);
    Put(line, &bracket, 1);
}

void JsonClose(JsonLine *line, char bracket)
{
    Put(line, &bracket, 1);
    line->comma = 1;
}

void JsonKey(JsonLine *line, const char *key)
{
    PutKey(line, key, "");
}

int JsonString(JsonLine *line, const char *text)
{
    Separate(line);
    int valid = PutString(line, text, "");
    line->comma = 1;
    return valid;
}

void JsonHex(JsonLine *line, const char *text)
{
    Separate(line);
    Put(line, "\"", 1);
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        char pair[NumberTextSize];
        FormatNumber(pair, *p, 16, 2);
        Put(line, pair, 2);
    }
    Put(line, "\"", 1);
    line->comma = 1;
}

/* A number, true or false: text that needs no escaping. */
static void PutValue(JsonLine *line, const char *text, uint32_t length)
{
    Separate(line);
    Put(line, text, length);
    line->comma = 1;
}

void JsonUnsigned(JsonLine *line, uint64_t value)
{
    char digits[NumberTextSize];
    PutValue(line, digits, FormatNumber(digits, value, 10, 0));
}

void JsonSigned(JsonLine *line, int64_t value)
{
    char digits[NumberTextSize];
    PutValue(line, digits, FormatSigned(digits, value));
}

void JsonNumberText(JsonLine *line, const char *text)
{
    PutValue(line, text, (uint32_t)strlen(text));
}

void JsonBoolean(JsonLine *line, int value)
{
    PutValue(line, value ? "true" : "false", value ? 4 : 5);
}

void JsonName(JsonLine *line, const char *key, const char *text)
{
    JsonKey(line, key);
    if (!JsonString(line, text)) {
        PutKey(line, key, "_hex");
        JsonHex(line, text);
    }
}

int JsonEnd(JsonLine *line)
{
    Put(line, "\n", 1);
    return !line->overflow;
}

/* ---- reading ------------------------------------------------------------------------------- */

static const char *Space(const char *p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        p++;
    return p;
}

/* The four hexadecimal digits of a \u escape at `p` into `*code`; 0 when they are not. */
static int ReadCode(const char *p, uint32_t *code)
{
    *code = 0;
    for (int k = 0; k < 4; k++) {
        int d = HexValue(p[k]);            /* -1 at the NUL: nothing past it is read */
        if (d < 0)
            return 0;
        *code = *code * 16 + (uint32_t)d;
    }
    return 1;
}

/* The escape after the backslash at `*p` as a code point into `*code`, `*p` moved past it; 0
** for one JSON does not have, \u0000 (the strings are C strings) or a lone surrogate. */
static int ReadEscape(const char **p, uint32_t *code)
{
    static const char Letters[] = "\"\\/bfnrt", Meanings[] = "\"\\/\b\f\n\r\t";
    const char *s = *p + 1;
    const char *plain = *s ? strchr(Letters, *s) : nullptr;
    if (plain) {
        *code = (unsigned char)Meanings[plain - Letters];
        *p = s + 1;
        return 1;
    }
    if (*s != 'u' || !ReadCode(s + 1, code) || *code == 0 || (*code >= 0xDC00 && *code < 0xE000))
        return 0;
    s += 5;
    if (*code >= 0xD800 && *code < 0xDC00) {
        uint32_t low;
        if (s[0] != '\\' || s[1] != 'u' || !ReadCode(s + 2, &low) || low < 0xDC00 || low >= 0xE000)
            return 0;
        *code = 0x10000 + ((*code - 0xD800) << 10) + (low - 0xDC00);
        s += 6;
    }
    *p = s;
    return 1;
}

/* `code` in UTF-8 into `out` (4 bytes); answers how many bytes. */
static uint32_t EncodeUtf8(uint32_t code, char *out)
{
    if (code < 0x80) {
        out[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        out[0] = (char)(0xC0 | (code >> 6));
        out[1] = (char)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = (char)(0xE0 | (code >> 12));
        out[1] = (char)(0x80 | ((code >> 6) & 0x3F));
        out[2] = (char)(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (code >> 18));
    out[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    out[3] = (char)(0x80 | (code & 0x3F));
    return 4;
}

/* The string at `*p` into `out` (`size` bytes, NUL included), `*p` moved past it; 0 when it is
** not a string or does not fit. */
static int ReadString(const char **p, char *out, uint32_t size)
{
    const char *s = *p;
    uint32_t n = 0;
    if (*s++ != '"')
        return 0;
    while (*s != '"') {
        char bytes[4];
        uint32_t count;
        if ((unsigned char)*s < 0x20) {    /* the NUL of a line that stops inside included */
            return 0;
        } else if (*s == '\\') {
            uint32_t code;
            if (!ReadEscape(&s, &code))
                return 0;
            count = EncodeUtf8(code, bytes);
        } else {
            count = (uint32_t)Utf8Length((const unsigned char *)s);
            if (count == 0)
                return 0;
            memcpy(bytes, s, count);
            s += count;
        }
        if (count >= size - n)
            return 0;
        memcpy(out + n, bytes, count);
        n += count;
    }
    out[n] = 0;
    *p = s + 1;
    return 1;
}

/* The integer at `*p` into `member`, `*p` moved past it; 0 when it is none (a leading zero,
** a fraction or an exponent left for the caller to refuse) or does not fit. */
static int ReadNumber(const char **p, JsonMember *member)
{
    const char *s = *p;
    member->negative = *s == '-';
    s += member->negative;
    if (*s < '0' || *s > '9' || (s[0] == '0' && s[1] >= '0' && s[1] <= '9'))
        return 0;
    uint64_t value = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        uint64_t digit = (uint64_t)(*s - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    if (member->negative && value > (uint64_t)1 << 63)
        return 0;
    member->number = value;
    *p = s;
    return 1;
}

/* The value at `*p` into `member`, `*p` moved past it; 0 when it is none this reader takes. */
static int ReadValue(const char **p, JsonMember *member)
{
    if (**p == '"') {
        member->kind = JsonKindString;
        return ReadString(p, member->text, member->textSize);
    }
    if (!strncmp(*p, "true", 4) || !strncmp(*p, "false", 5)) {
        member->kind = JsonKindBoolean;
        member->boolean = **p == 't';
        *p += member->boolean ? 4 : 5;
        return 1;
    }
    member->kind = JsonKindNumber;
    return ReadNumber(p, member);
}

void JsonReadBegin(JsonReader *reader, const char *text)
{
    reader->at = text;
    reader->members = -1;
}

int JsonReadMember(JsonReader *reader, JsonMember *member)
{
    const char *p = reader->at;
    if (!p || member->keySize == 0 || member->textSize == 0)
        return -1;
    reader->at = nullptr;                  /* until a member has been read whole */
    member->kind = 0;
    member->number = 0;
    member->negative = member->boolean = 0;
    member->text[0] = 0;
    p = Space(p);
    if (reader->members < 0) {
        if (*p++ != '{')
            return -1;
        reader->members = 0;
        p = Space(p);
    }
    if (*p == '}')
        return *Space(p + 1) ? -1 : 0;
    if (reader->members > 0 && *p++ != ',')
        return -1;
    p = Space(p);
    if (!ReadString(&p, member->key, member->keySize))
        return -1;
    p = Space(p);
    if (*p++ != ':')
        return -1;
    p = Space(p);
    if (!ReadValue(&p, member))
        return -1;
    reader->at = p;
    reader->members++;
    return 1;
}

int JsonReadHex(const char *hex, char *out, uint32_t size)
{
    uint32_t n = 0;
    if (size == 0)
        return 0;
    for (; *hex; hex += 2) {
        int high = HexValue(hex[0]), low = HexValue(hex[1]);   /* hex[1] may be the NUL */
        if (high < 0 || low < 0 || (high | low) == 0 || n + 1 >= size)
            return 0;
        out[n++] = (char)(high * 16 + low);
    }
    out[n] = 0;
    return 1;
}
