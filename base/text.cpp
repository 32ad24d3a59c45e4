#include "base/text.h"

#include <string.h>

int CopyText(char *buffer, uint32_t size, const char *text)
{
    size_t n = strlen(text);
    if (n >= size)
        return 0;
    memcpy(buffer, text, n + 1);
    return 1;
}

int AppendText(char *buffer, uint32_t size, const char *text)
{
    size_t used = strlen(buffer);
    if (used >= size)
        return 0;
    return CopyText(buffer + used, (uint32_t)(size - used), text);
}

int Utf8Length(const unsigned char *p)
{
    if (p[0] < 0x80)
        return 1;
    int length = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
    if (length == 0 || p[0] > 0xF4)
        return 0;
    for (int i = 1; i < length; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    if ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0) ||
        (p[0] == 0xF0 && p[1] < 0x90) || (p[0] == 0xF4 && p[1] >= 0x90))
        return 0;
    return length;
}

uint32_t FormatNumber(char *out, uint64_t value, uint32_t base, uint32_t width)
{
    const char *digits = (base & NumberUpper) ? "0123456789ABCDEF" : "0123456789abcdef";
    base &= ~(uint32_t)NumberUpper;
    if (base < 8 || base > 16)
        base = 10;                         /* below 8, 64 bits would not fit NumberTextSize */
    char reversed[NumberTextSize];
    uint32_t n = 0;
    do {
        reversed[n++] = digits[value % base];
        value /= base;
    } while (value);
    while (n < width && n < NumberTextSize - 1)
        reversed[n++] = '0';
    for (uint32_t i = 0; i < n; i++)
        out[i] = reversed[n - 1 - i];
    out[n] = 0;
    return n;
}

uint32_t FormatSigned(char *out, int64_t value)
{
    /* In unsigned, so that the most negative value has a magnitude too. */
    uint64_t magnitude = value < 0 ? 0u - (uint64_t)value : (uint64_t)value;
    if (value < 0)
        *out++ = '-';
    return (value < 0) + FormatNumber(out, magnitude, 10, 0);
}

/* The civil calendar from a day count (the proleptic Gregorian calendar, eras of 400 years),
** so that no C library's gmtime, with its range and its missing 64-bit form, is needed. */
void FormatUtc(int64_t seconds, char *out)
{
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t shifted = (5 * dayOfYear + 2) / 153;
    int64_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    int64_t year = yearOfEra + era * 400 + (month <= 2);
    if (year < 0)
        year = 0;
    if (year > 9999)
        year = 9999;
    const int64_t fields[6] = {year, month, day, rest / 3600, rest / 60 % 60, rest % 60};
    static const char after[6] = {'-', '-', 'T', ':', ':', 'Z'};
    for (int i = 0; i < 6; i++) {
        out += FormatNumber(out, (uint64_t)fields[i], 10, i == 0 ? 4 : 2);
        *out++ = after[i];
    }
    *out = 0;
}

int ParseUtc(const char *text, int64_t *seconds)
{
    static const char after[6] = {'-', '-', 'T', ':', ':', 'Z'};
    static const int64_t limits[6] = {9999, 12, 31, 23, 59, 59};
    int64_t fields[6];
    for (int i = 0; i < 6; i++) {
        int digits = i == 0 ? 4 : 2;
        fields[i] = 0;
        for (int d = 0; d < digits; d++, text++) {
            if (*text < '0' || *text > '9')
                return 0;
            fields[i] = fields[i] * 10 + (*text - '0');
        }
        if (*text++ != after[i] || fields[i] > limits[i] || (i > 0 && i < 3 && fields[i] == 0))
            return 0;
    }
    if (*text)
        return 0;
    /* Days from 1970-01-01 of the civil date, FormatUtc's steps backwards. */
    int64_t year = fields[0] - (fields[1] <= 2), month = fields[1];
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + fields[2] - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    int64_t days = era * 146097 + dayOfEra - 719468;
    *seconds = days * 86400 + fields[3] * 3600 + fields[4] * 60 + fields[5];
    char again[UtcTextSize];
    FormatUtc(*seconds, again);               /* a day past its month's end is no real date */
    return fields[2] <= 28 || (again[8] == (char)('0' + fields[2] / 10) &&
                                   again[9] == (char)('0' + fields[2] % 10));
}
