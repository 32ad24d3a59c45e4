/*
** JSON Lines, bounded: one line written into the caller's fixed buffer, and one line read into
** the caller's buffers. Nothing here allocates, and nothing reads or writes past what it is
** given. The reader takes one object of string, number and boolean members (the quarantine's
** index lines), not JSON at large.
*/
#ifndef KRV_JSON_H
#define KRV_JSON_H

#include <stdint.h>

/* A line being written. A piece that would not fit writes nothing and sets `overflow`, and
** nothing is written after it: a line is never cut silently, it is refused whole. Commas come
** by themselves, before a key or a value that follows a value. */
struct JsonLine {
    char *buffer;             /* the caller's */
    uint32_t size;            /* its bytes */
    uint32_t length;          /* the bytes written so far (no NUL is kept) */
    int overflow;             /* something did not fit: the line is not to be used */
    int comma;                /* a value came last: the next key or value needs a comma */
};

/* Starts `line` empty in the `size` bytes at `buffer`. */
void JsonBegin(JsonLine *line, char *buffer, uint32_t size);

/* `bracket` '{' or '[' opens an object or array (a value of its own, so after a comma where a
** value came before); '}' or ']' closes it. */
void JsonOpen(JsonLine *line, char bracket);
void JsonClose(JsonLine *line, char bracket);

/* `"key":`, the key escaped as a string is. */
void JsonKey(JsonLine *line, const char *key);

/* `text` as a JSON string: '"' and '\' escaped with a backslash, control bytes and DEL as
** \u00xx, and every byte that is not part of valid UTF-8 (Utf8Length) as U+FFFD. Answers 1 when
** every byte was valid, 0 when bytes were replaced: the caller may add them with JsonHex. */
int JsonString(JsonLine *line, const char *text);

/* The bytes of `text` as a string of lower-case hexadecimal digits, two a byte. */
void JsonHex(JsonLine *line, const char *text);

/* A number in decimal; true or false. */
void JsonUnsigned(JsonLine *line, uint64_t value);
void JsonSigned(JsonLine *line, int64_t value);
void JsonBoolean(JsonLine *line, int value);
/* A number the caller wrote as text (digits, a point, digits), put as it is. */
void JsonNumberText(JsonLine *line, const char *text);

/* The member `"key":text` and, where `text` is not valid UTF-8, `"key_hex":` with its exact
** bytes (JsonReadHex gives them back), so that a name maps back to the one it was. */
void JsonName(JsonLine *line, const char *key, const char *text);

/* Ends the line with a newline; answers 1 when all of it fit, 0 when it is not to be used. */
int JsonEnd(JsonLine *line);

/* What a member's value was. */
enum JsonKind { JsonKindString = 1, JsonKindNumber = 2, JsonKindBoolean = 3 };

/* One member as JsonReadMember reads it: the caller gives the buffers for its key and for a
** string value; the rest is filled in. */
struct JsonMember {
    char *key;                /* the caller's buffer for the key, `keySize` bytes */
    uint32_t keySize;
    char *text;               /* the caller's buffer for a string's value, `textSize` bytes; */
    uint32_t textSize;        /* left empty for a number or a boolean */
    int kind;                 /* JsonKind */
    uint64_t number;          /* a number's magnitude: integers only */
    int negative;             /* the number had a minus sign (a magnitude of at most 2^63) */
    int boolean;              /* 1 for true */
};

/* Where the reading of one line stands. */
struct JsonReader {
    const char *at;           /* the next byte; null once the line has ended or was refused */
    int members;              /* the members read; -1 before the opening brace */
};

/* Starts reading `text`: one line, NUL-terminated, its newline cut off. */
void JsonReadBegin(JsonReader *reader, const char *text);

/* The next member of the line's object into `member`: 1 for one; 0 when the object has ended
** and nothing but white space follows it; -1 when the line is not such an object (truncated,
** a string unterminated or holding a control byte or a byte that is not part of valid UTF-8, a
** bad escape, \u0000 or a lone surrogate, a number that is not a plain integer or does not fit
** 64 bits, a null, array or nested object, anything after the end), when the key or the string
** does not fit its buffer (NUL included), and on every call after a 0 or a -1. Key and string
** come back NUL-terminated with their escapes undone (\uXXXX and surrogate pairs as UTF-8). */
int JsonReadMember(JsonReader *reader, JsonMember *member);

/* The bytes that the hexadecimal digits `hex` (either case, two a byte) stand for, and a NUL,
** into `out` (`size` bytes): JsonName's "key_hex" taken back. Answers 0 when `hex` is not
** pairs of digits, names a zero byte, or does not fit. */
int JsonReadHex(const char *hex, char *out, uint32_t size);

#endif
