/*
** krvscan's names in text (see krvscan_names.h).
*/
#include "app/krvscan_names.h"

#include "app/krvscan_options.h"
#include "base/text.h"

#include <stdio.h>
#include <string.h>

size_t EscapeNext(const unsigned char **p, char *out, int inKey)
{
    const unsigned char *c = *p;
    int length = NamesAreBytes ? Utf8Length(c) : 1;
    int escape = length == 0 || c[0] < 0x20 || c[0] == 0x7F ||
                 (NamesAreBytes && c[0] == 0xC2 && c[1] < 0xA0);
    if (length == 0)
        length = 1;
    *p += length;
    if (NamesAreBytes && c[0] == '\\' && !inKey) {
        memcpy(out, "\\\\", 2);
        return 2;
    }
    if (!escape) {
        memcpy(out, c, (size_t)length);
        return (size_t)length;
    }
    for (int i = 0; i < length; i++) {
        char pair[NumberTextSize];
        FormatNumber(pair, c[i], 16 | NumberUpper, 2);
        memcpy(out + 4 * i, "\\x", 2);
        memcpy(out + 4 * i + 2, pair, 2);
    }
    return 4 * (size_t)length;
}

/* `text` on standard error, escaped as the rows are. */
void ErrorEscaped(const char *text)
{
    char one[EscapedMax];
    for (const unsigned char *p = (const unsigned char *)text; *p;)
        fwrite(one, 1, EscapeNext(&p, one), stderr);
}
