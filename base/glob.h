/*
** Shell patterns (glob), matched the way fnmatch(3) matches them, in portable code.
*/
#ifndef KRV_GLOB_H
#define KRV_GLOB_H

/* Whether `text` matches the shell pattern `pattern` whole, as fnmatch(3) without flags does:
** "*" any run of bytes (separators too), "?" any one byte, "[...]" one of a set ("a-z" a range,
** "!" or "^" first for the bytes not in it, "]" first for itself; an unclosed "[" is itself),
** "\" before a byte that byte itself. GlobWindows: ASCII letters in either case, "/" and "\"
** alike, and "\" no escape: the way Windows names files. Answers 1 or 0. */
#define GlobWindows 1
int MatchGlob(const char *pattern, const char *text, int flags);

#endif
