// Runs the real dialog in this process: the dialog on the test's main thread, the test's
// script on a second thread that finds the windows and presses the buttons, as a user would.
#ifndef KRV_TEST_HARNESS_H
#define KRV_TEST_HARNESS_H

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

namespace harness {

using testsupport::Row;

/* Waits up to `seconds` for `condition`, looking again every few milliseconds; false on
** timeout. On the dialog's thread it keeps the thread's messages flowing meanwhile. */
bool WaitFor(const std::function<bool()> &condition, double seconds = 20.0);

/* The top-level dialog of this process with that title, or null. */
HWND FindOwnDialog(const char *title);

/* The visible message boxes owned by `dialog`, newest last. */
std::vector<HWND> MessageBoxesOf(HWND dialog);
/* Waits for a box owned by `dialog` whose text is `text`; null on timeout. */
HWND WaitForBox(HWND dialog, const std::string &text);
std::string BoxText(HWND box);
std::string WindowText(HWND window);
std::string ItemText(HWND dialog, int id);
/* Presses button `id` of a message box (IDOK, IDYES, IDNO) and waits until the box is gone. */
bool Answer(HWND box, int id);

/* Every row of the results list, in order. */
std::vector<Row> ListRows(HWND dialog);
int ListCount(HWND dialog);

bool StyleDisabled(HWND dialog, int id);

/* Waits until the dialog thread has taken every message posted to it before this call (a
** command that opened a box counts as taken once the box is up). */
void Settle(HWND dialog);

/* Wraps the dialog's own display operations: records what the worker shows and can hold the
** worker at the n-th row or the n-th target text, or whichever thread enables a control,
** until the test lets it go. */
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Row> rows;            /* every addRow, in call order */
    std::vector<std::string> targets; /* every setTargetText */
    int holdAtRow = 0;                /* 1-based; 0: never */
    int holdAtTarget = 0;
    int holdAtEnable = 0;             /* a control id: held once, right after it is enabled */
    bool holding = false;
    bool open = false;                /* true: nothing is held any more */

    void Reset();
    /* Waits until the worker is held; false on timeout. */
    bool WaitHeld(double seconds = 20.0);
    /* Lets a held worker go on; `nextRow` arms the next hold (0: none). */
    void Release(int nextRow = 0);
    /* Lets everything through from now on. */
    void OpenAll();
};
extern Gate TheGate;
/* Installs the gated display over the dialog's (call after the dialog has opened). */
void InstallGate();

/* Scans started through Platform.system.startThread since the last Reset, and those finished. */
int WorkersStarted();
int WorkersFinished();
/* Replaces Platform.system.startThread by one that counts, or (fail) by one that never starts. */
void TrackWorkers(bool fail = false);

/* Runs the dialog on this thread and `script` on a second one; afterwards answers every box
** still open, ends the dialog if the script did not, and waits for the worker to finish.
** Answers what the start-up routine returned, or -1 when it did not return in time. */
int RunDialog(const std::function<void(HWND dialog)> &script);

/* Sets the target as Select Path leaves it after choosing `folder`. */
void ChooseTarget(HWND dialog, const std::string &folder);

}  // namespace harness

#endif
