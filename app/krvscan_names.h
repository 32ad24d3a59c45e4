/*
** krvscan's names in text: how a path is written on a line of the rows, of standard error and
** of the log, so that one line maps back to one name. The output and the progress line both
** write names this way.
*/
#ifndef KRV_KRVSCAN_NAMES_H
#define KRV_KRVSCAN_NAMES_H

#include <stddef.h>

/* Names in the text rows: one row is one line and maps back to one name. On POSIX a name is
** any bytes but "/" and NUL, so the backslash itself prints as \\, and every C0 and C1 control
** and every byte that is not part of valid UTF-8 as \xHH. Windows names cannot hold a control
** character or a backslash and come in the ANSI code page (where 0x80-0x9F are letters): only
** C0 controls and DEL need escaping there, and the backslashes are the separators. */
#define EscapedMax 16   /* the most one character can take, escaped */

/* Writes the text form of the character at `*p` to `out` (EscapedMax bytes) and moves `*p`
** past it; answers how many bytes it wrote. `inKey`: the character is in a registry key's text
** (a Run row's key, value name and data), where a backslash is the key's own separator, as on
** Windows, and is written as it is. */
size_t EscapeNext(const unsigned char **p, char *out, int inKey = 0);

/* `text` on standard error, escaped as in the text rows. */
void ErrorEscaped(const char *text);

#endif
