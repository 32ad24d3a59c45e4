/*
** Text helpers that every layer uses. Nothing here depends on anything else of the system.
*/
#ifndef KRV_TEXT_H
#define KRV_TEXT_H

#include <stdint.h>

/* Bounded copy and append into fixed buffers: answer 1 when all of `text` fit (NUL included),
** 0 when it would not, leaving `buffer` unchanged. The code uses no strcat, sprintf or their
** Win32 kin, and strcpy only once, for "." in the POSIX backend's log (PosixOpenLog). */
int CopyText(char *buffer, uint32_t size, const char *text);
int AppendText(char *buffer, uint32_t size, const char *text);

/* The length of the valid UTF-8 sequence at `p`, or 0 when it is not one (overlong forms,
** surrogates and code points past U+10FFFF included). */
int Utf8Length(const unsigned char *p);

/* "YYYY-MM-DDTHH:MM:SSZ" for `seconds` since 1970-01-01 UTC into `out` (UtcTextSize bytes);
** years outside 0-9999 are written as 0000 or 9999. */
#define UtcTextSize 21
void FormatUtc(int64_t seconds, char *out);

/* FormatUtc's inverse: the seconds that `text` (exactly that form, nothing after it) names into
** `*seconds`; 0 when it is not that form or names no real date. */
int ParseUtc(const char *text, int64_t *seconds);

/* Numbers as text: `value` in `base` (8, 10 or 16, lower-case digits; NumberUpper added to 16
** for upper-case ones), zero-padded to at least `width` digits, and a NUL, into `out`
** (NumberTextSize bytes); answers how many digits. */
#define NumberTextSize 24
#define NumberUpper 0x100
uint32_t FormatNumber(char *out, uint64_t value, uint32_t base, uint32_t width);

/* `value` in decimal, "-" before a negative one, and a NUL into `out` (NumberTextSize bytes);
** answers its length. */
uint32_t FormatSigned(char *out, int64_t value);

/* The value of the hexadecimal digit `c`, either case; -1 when it is none. */
static inline int HexValue(char c)
{
    return c >= '0' && c <= '9' ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

/* The ASCII letters A to Z in lower case, every other byte unchanged: the one case folding the
** system does (extensions, the [rename] section name, the Run value's name). */
static inline char FoldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

#endif
