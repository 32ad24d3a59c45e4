/*
** krvscan: the scan without the dialog, for scripts and for testing the shipped core.
**
**     krvscan [folder]
**
** Scans the folder (all fixed drives without one) and prints every row as "file<TAB>status"
** on standard output, the scan report last, in the rows' own format. Exit code: 0 when nothing
** infected was found, 1 when something was, 2 on a usage error.
*/
#include "scan/display.h"
#include "base/text.h"
#include "scan/scanstate.h"
#include "walk/walk.h"

#include <stdio.h>
#include <string.h>

static void PrintRow(const char *file, const char *status)
{
    fputs(file, stdout);
    fputc('\t', stdout);
    fputs(status, stdout);
    fputc('\n', stdout);
}

static void IgnoreText(const char *text)
{
    (void)text;
}

static void IgnoreControl(int id, int enabled)
{
    (void)id;
    (void)enabled;
}

static void PrintWarning(const char *text, const char *caption)
{
    (void)caption;
    fflush(stdout);
    fputs(text, stderr);
    fputc('\n', stderr);
}

static const DisplayOps ConsoleDisplay = {PrintRow, IgnoreText, IgnoreControl, IgnoreText,
                                          PrintWarning, nullptr};

int main(int argc, char **argv)
{
    if (argc > 2 || (argc == 2 && (!argv[1][0] || !CopyText(TargetPath, TargetPathSize, argv[1])))) {
        fputs("usage: krvscan [folder]   (no folder: all fixed drives)\n", stderr);
        return 2;
    }
    if (argc < 2)
        TargetPath[0] = 0;
    Display = &ConsoleDisplay;
    ScanState.store(Scanning);
    ScanThreadProc(nullptr);
    fflush(stdout);
    return ScanCounters.infected != 0 ? 1 : 0;
}
