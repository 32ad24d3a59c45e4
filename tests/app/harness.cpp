#include "tests/app/harness.h"
#include "base/text.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/dialog.h"
#include "platform/platform.h"
#include "scan/scanstate.h"
#include "walk/walk.h"

namespace harness {

static DWORD dialogThread;
static HWND probe;                 /* a window of the dialog thread that counts WM_APP */
static std::atomic<long> probesPosted{0}, probesSeen{0};

static LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP) {
        probesSeen++;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void Settle(HWND dialog)
{
    (void)dialog;
    /* One queue per thread: the probe's message comes out after everything posted before. */
    long n = ++probesPosted;
    PostMessageA(probe, WM_APP, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return probesSeen >= n; })) << "the dialog thread is stuck";
}

bool WaitFor(const std::function<bool()> &condition, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool pump = GetCurrentThreadId() == dialogThread;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (pump) {
            MSG msg;
            while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            MsgWaitForMultipleObjects(0, NULL, FALSE, 5, QS_ALLINPUT);
        } else {
            Sleep(5);   // polling interval of a bounded wait, not a synchronisation
        }
    }
}

struct Search {
    const char *title;
    HWND owner;
    std::vector<HWND> found;
};

static BOOL CALLBACK Collect(HWND window, LPARAM parameter)
{
    Search *search = (Search *)parameter;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId())
        return TRUE;
    char cls[64];
    GetClassNameA(window, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") != 0)
        return TRUE;
    if (search->title) {
        if (WindowText(window) == search->title && window != search->owner)
            search->found.push_back(window);
    } else if (GetWindow(window, GW_OWNER) == search->owner && IsWindowVisible(window)) {
        search->found.push_back(window);
    }
    return TRUE;
}

HWND FindOwnDialog(const char *title)
{
    Search search = {title, NULL, {}};
    EnumWindows(Collect, (LPARAM)&search);
    for (HWND w : search.found)
        if (GetWindow(w, GW_OWNER) == NULL)
            return w;
    return NULL;
}

std::vector<HWND> MessageBoxesOf(HWND dialog)
{
    Search search = {NULL, dialog, {}};
    EnumWindows(Collect, (LPARAM)&search);
    return search.found;
}

std::string WindowText(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ItemText(HWND dialog, int id)
{
    char text[1024] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

std::string BoxText(HWND box) { return ItemText(box, 0xFFFF); }

HWND WaitForBox(HWND dialog, const std::string &text)
{
    HWND box = NULL;
    WaitFor([&] {
        for (HWND b : MessageBoxesOf(dialog))
            if (BoxText(b) == text) {
                box = b;
                return true;
            }
        return false;
    });
    return box;
}

bool Answer(HWND box, int id)
{
    if (!GetDlgItem(box, id))
        return false;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
    return WaitFor([&] { return !IsWindow(box); });
}

int ListCount(HWND dialog)
{
    return (int)SendMessageA(GetDlgItem(dialog, ResultsList), LVM_GETITEMCOUNT, 0, 0);
}

std::vector<Row> ListRows(HWND dialog)
{
    HWND list = GetDlgItem(dialog, ResultsList);
    std::vector<Row> rows;
    int count = ListCount(dialog);
    for (int i = 0; i < count; i++) {
        char file[600] = "", status[300] = "";
        LVITEMA item = {};
        item.iSubItem = 0;
        item.pszText = file;
        item.cchTextMax = sizeof file;
        SendMessageA(list, LVM_GETITEMTEXTA, i, (LPARAM)&item);
        item.iSubItem = 1;
        item.pszText = status;
        item.cchTextMax = sizeof status;
        SendMessageA(list, LVM_GETITEMTEXTA, i, (LPARAM)&item);
        rows.push_back({file, status});
    }
    return rows;
}

bool StyleDisabled(HWND dialog, int id)
{
    return (GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE) & WS_DISABLED) != 0;
}

Gate TheGate;

void Gate::Reset()
{
    std::lock_guard<std::mutex> hold(lock);
    rows.clear();
    targets.clear();
    holdAtRow = holdAtTarget = holdAtEnable = 0;
    holding = false;
    open = false;
}

bool Gate::WaitHeld(double seconds)
{
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::duration<double>(seconds), [&] { return holding; });
}

void Gate::Release(int nextRow)
{
    std::lock_guard<std::mutex> hold(lock);
    holdAtRow = nextRow;
    holdAtTarget = 0;
    holding = false;
    changed.notify_all();
}

void Gate::OpenAll()
{
    std::lock_guard<std::mutex> hold(lock);
    open = true;
    holding = false;
    changed.notify_all();
}

/* Called after the dialog's own operation; holds the calling thread while the gate says so. */
static void HoldIf(bool reached)
{
    std::unique_lock<std::mutex> hold(TheGate.lock);
    if (!reached || TheGate.open)
        return;
    TheGate.holding = true;
    TheGate.changed.notify_all();
    TheGate.changed.wait(hold, [] { return !TheGate.holding || TheGate.open; });
}

static void GatedAddRow(const ResultRow *row)
{
    const char *file = row->file, *status = row->status;
    DialogDisplay.addRow(row);
    int n;
    {
        std::lock_guard<std::mutex> hold(TheGate.lock);
        TheGate.rows.push_back({file, status});
        n = (int)TheGate.rows.size();
    }
    HoldIf(n == TheGate.holdAtRow);
}

static void GatedTarget(const char *text)
{
    DialogDisplay.setTargetText(text);
    int n;
    {
        std::lock_guard<std::mutex> hold(TheGate.lock);
        TheGate.targets.push_back(text);
        n = (int)TheGate.targets.size();
    }
    HoldIf(n == TheGate.holdAtTarget);
}

/* Holds once: the hold disarms itself. */
static void GatedEnable(int id, int enabled)
{
    DialogDisplay.setControlEnabled(id, enabled);
    bool reached;
    {
        std::lock_guard<std::mutex> hold(TheGate.lock);
        reached = enabled && id == TheGate.holdAtEnable;
        if (reached)
            TheGate.holdAtEnable = 0;
    }
    HoldIf(reached);
}

static DisplayOps gated;

void InstallGate()
{
    gated = DialogDisplay;
    gated.addRow = GatedAddRow;
    gated.setTargetText = GatedTarget;
    gated.setControlEnabled = GatedEnable;
    Display = &gated;
}

static std::atomic<int> started{0}, finished{0};
static int (*realStart)(uint32_t (*)(void *), void *);

int WorkersStarted() { return started; }
int WorkersFinished() { return finished; }

static uint32_t CountedWorker(void *parameter)
{
    uint32_t result = ScanThreadProc(parameter);
    finished++;
    return result;
}

static int CountedStart(uint32_t (*proc)(void *), void *parameter)
{
    EXPECT_EQ((void *)ScanThreadProc, (void *)proc);
    EXPECT_EQ(nullptr, parameter);
    started++;
    if (realStart(CountedWorker, parameter))
        return 1;
    finished++;
    return 0;
}

static int NeverStart(uint32_t (*)(void *), void *) { return 0; }

void TrackWorkers(bool fail)
{
    PlatformRestore();
    realStart = Platform.system.startThread;
    started = finished = 0;
    Platform.system.startThread = fail ? NeverStart : CountedStart;
}

/* Answers every box the dialog still has and ends it; used after each script, also a failed
** one, so that the next test starts from nothing. */
static void Tidy(HWND dialog, const std::atomic<bool> &ended)
{
    TheGate.OpenAll();
    WaitFor([&] {
        if (ended || !IsWindow(dialog))
            return true;
        std::vector<HWND> boxes = MessageBoxesOf(dialog);
        for (HWND box : boxes)
            for (int id : {IDOK, IDNO, IDCANCEL})
                if (GetDlgItem(box, id))
                    PostMessageA(box, WM_COMMAND, id, 0);
        if (boxes.empty())
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return false;
    }, 20.0);
}

int RunDialog(const std::function<void(HWND dialog)> &script)
{
    dialogThread = GetCurrentThreadId();
    if (!probe) {
        WNDCLASSA cls = {};
        cls.lpfnWndProc = ProbeProc;
        cls.hInstance = GetModuleHandleA(NULL);
        cls.lpszClassName = "KrvProbe";
        RegisterClassA(&cls);
        probe = CreateWindowA("KrvProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, cls.hInstance, NULL);
    }
    TheGate.Reset();
    std::atomic<bool> ended{false}, scriptDone{false};
    std::thread driver([&] {
        HWND dialog = NULL;
        bool shown = WaitFor([&] {
            dialog = FindOwnDialog(DialogTitle);
            return ended || (dialog && IsWindowVisible(dialog));
        });
        if (!shown || ended || !dialog) {
            ADD_FAILURE() << "the dialog did not open";
        } else {
            script(dialog);
            Tidy(dialog, ended);
        }
        scriptDone = true;
    });
    int result = RunMainDialog(GetModuleHandleA(NULL));
    ended = true;
    bool done = WaitFor([&] { return scriptDone.load(); }, 60.0);
    EXPECT_TRUE(done) << "the test script did not finish";
    if (done)
        driver.join();
    else
        driver.detach();
    TheGate.OpenAll();
    EXPECT_TRUE(WaitFor([] { return WorkersFinished() == WorkersStarted(); }, 30.0))
        << "the scan worker did not end";
    return done ? result : -1;
}

void ChooseTarget(HWND dialog, const std::string &folder)
{
    (void)dialog;
    ASSERT_TRUE(CopyText(TargetPath, TargetPathSize, folder.c_str()));
    ShowTarget(TargetPath);
}

}  // namespace harness
