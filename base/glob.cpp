/*
** Shell patterns, for the names and paths krvscan is asked to pass over (--exclude): the same
** on every system, where POSIX has fnmatch(3) and Windows nothing of the kind.
*/
#include "base/glob.h"
#include "base/text.h"

/* One byte of a pattern against one of a name, as MatchGlob's flags say. */
static int SameByte(char p, char t, int flags)
{
    if (flags & GlobWindows) {
        p = p == '/' ? '\\' : FoldAscii(p);
        t = t == '/' ? '\\' : FoldAscii(t);
    }
    return p == t;
}

/* The set "[...]" at `p` (just past "[") against `t`: answers where the pattern goes on after
** it, with `*matched` set; null when the set is not closed (then "[" stands for itself). */
static const char *MatchSet(const char *p, char t, int flags, int *matched)
{
    int negated = *p == '!' || *p == '^';
    p += negated;
    int found = 0;
    for (const char *first = p; *p && (*p != ']' || p == first); p++) {
        char low = *p;
        if (low == '\\' && !(flags & GlobWindows) && p[1])
            low = *++p;
        if (p[1] == '-' && p[2] && p[2] != ']') {
            char high = p[2];
            p += 2;
            if (high == '\\' && !(flags & GlobWindows) && p[1])
                high = *++p;
            char c = flags & GlobWindows ? FoldAscii(t) : t;
            if (flags & GlobWindows) {
                low = FoldAscii(low);
                high = FoldAscii(high);
            }
            found |= (unsigned char)low <= (unsigned char)c && (unsigned char)c <= (unsigned char)high;
        } else {
            found |= SameByte(low, t, flags);
        }
    }
    if (*p != ']')
        return nullptr;
    *matched = found != negated;
    return p + 1;
}

/* Greedy with one point to come back to: a later "*" makes every earlier one's choice final,
** so the match takes time in the product of the lengths at worst, never exponential. */
int MatchGlob(const char *pattern, const char *text, int flags)
{
    const char *p = pattern, *t = text, *star = nullptr, *resume = nullptr;
    while (*t) {
        if (*p == '*') {
            star = ++p;
            resume = t;
            continue;
        }
        const char *next = nullptr;
        int matched = 0;
        if (*p == '?') {
            next = p + 1;
            matched = 1;
        } else if (*p == '[' && (next = MatchSet(p + 1, *t, flags, &matched))) {
        } else if (*p == '\\' && !(flags & GlobWindows) && p[1]) {
            next = p + 2;
            matched = p[1] == *t;
        } else if (*p) {
            next = p + 1;
            matched = SameByte(*p, *t, flags);
        }
        if (matched) {
            p = next;
            t++;
        } else if (star) {
            p = star;
            t = ++resume;
        } else {
            return 0;
        }
    }
    while (*p == '*')
        p++;
    return *p == 0;
}
