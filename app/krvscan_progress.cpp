/*
** krvscan's progress line on standard error: the folder in hand and the rate, redrawn in place
** at most every ProgressEveryMs, and only when standard error is a terminal.
*/
#include "app/krvscan_progress.h"

#include "app/krvscan_names.h"
#include "base/text.h"
#include "platform/platform.h"
#include "scan/display.h"
#include "scan/scanstate.h"

#include <stdio.h>
#include <string.h>

#define ProgressWidth 79
#define ProgressEveryMs 250u

/* The progress line on standard error, written by the worker thread only. */
static struct {
    int wanted;                /* standard error is a terminal: a line is shown at all */
    uint32_t startedAt;        /* when the scan began */
    uint32_t lineAt;           /* when the line was last written */
    int onTerminal;            /* the line is on the terminal now */
} Progress;

void StartProgress(void)
{
    Progress.wanted = Platform.system.errorIsTerminal();
    Progress.startedAt = Platform.system.milliseconds();
}

static void PutSpaces(int count)
{
    while (count-- > 0)
        fputc(' ', stderr);
}

void ClearProgress(void)
{
    if (Progress.onTerminal) {
        fputc('\r', stderr);
        PutSpaces(ProgressWidth);
        fputc('\r', stderr);
        Progress.onTerminal = 0;
    }
}

void ShowProgress(const char *folder)
{
    uint32_t now = Platform.system.milliseconds();
    if (!Progress.wanted || (Progress.onTerminal && now - Progress.lineAt < ProgressEveryMs))
        return;
    Progress.lineAt = now;
    uint32_t elapsed = now - Progress.startedAt;
    char counts[64], number[16];
    int32_t rate = elapsed ? (int32_t)((uint64_t)ScanCounters.files * 1000u / elapsed) : 0;
    FormatCounter(number, ScanCounters.files);
    CopyText(counts, sizeof counts, "  ");
    AppendText(counts, sizeof counts, number);
    AppendText(counts, sizeof counts, " files, ");
    FormatCounter(number, rate);
    AppendText(counts, sizeof counts, number);
    AppendText(counts, sizeof counts, " files/s");
    size_t room = ProgressWidth - strlen(counts);
    /* Escaped as the rows are, cut from the left between whole characters. */
    char shown[ProgressWidth + EscapedMax], one[EscapedMax];
    const unsigned char *p = (const unsigned char *)folder;
    size_t length = 0, n = 0;
    while (*p)
        length += EscapeNext(&p, one);
    p = (const unsigned char *)folder;
    if (length > room) {
        memcpy(shown, "...", 3);
        n = 3;
        while (*p && length > room - 3)
            length -= EscapeNext(&p, one);
    }
    while (*p) {
        size_t size = EscapeNext(&p, one);
        if (n + size > room)
            break;
        memcpy(shown + n, one, size);
        n += size;
    }
    shown[n] = 0;
    fputc('\r', stderr);
    fputs(shown, stderr);
    fputs(counts, stderr);
    PutSpaces((int)(room - n));
    Progress.onTerminal = 1;
}

