/*
** Text helpers that every layer uses. Nothing here depends on anything else of the system.
*/
#ifndef KRV_TEXT_H
#define KRV_TEXT_H

#include <stdint.h>

/* Bounded copy and append into fixed buffers: answer 1 when all of `text` fit (NUL included),
** 0 when it would not, leaving `buffer` unchanged. The code never uses strcpy, strcat,
** sprintf or their Win32 kin. */
int CopyText(char *buffer, uint32_t size, const char *text);
int AppendText(char *buffer, uint32_t size, const char *text);

/* The ASCII letters A to Z in lower case, every other byte unchanged: the one case folding the
** system does (extensions, the [rename] section name, the Run value's name). */
static inline char FoldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

#endif
