// The main dialog as the user meets it: opened for real under Wine (on an X server), driven
// from a second thread through its windows, with the real walk, detector and workflow behind
// it. Harmless forged samples stand in for the worm.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/dialog.h"
#include "disinfect/workflow.h"
#include "platform/platform.h"
#include "scan/scanstate.h"
#include "startup/runkey.h"
#include "tests/app/harness.h"
#include "tests/app/screenshot.h"
#include "tests/support/testsupport.h"
#include "tools/samples.h"

using namespace harness;
using testsupport::Row;
using testsupport::ScratchDir;

namespace {

const std::string InfectedStatus = testsupport::InfectedStatus();

// What the link asked the shell to open.
struct Opened {
    HWND owner;
    std::string verb, file;
    bool noParameters, noDirectory;
    INT show;
};
std::vector<Opened> opened;

HINSTANCE WINAPI RecordOpen(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                            LPCSTR directory, INT show)
{
    opened.push_back({owner, verb ? verb : "", file ? file : "", parameters == NULL,
                      directory == NULL, show});
    return (HINSTANCE)42;
}


void Press(HWND dialog, int id) { PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

// Chooses `target`, starts a scan and holds the worker right after its row number `row`.
bool StartHeld(HWND dialog, const std::string &target, int row)
{
    ChooseTarget(dialog, target);
    InstallGate();
    TheGate.holdAtRow = row;
    Press(dialog, ScanButton);
    return TheGate.WaitHeld();
}

// Presses Stop during a scan; the confirmation it opens, or null when none came.
HWND PressStop(HWND dialog)
{
    Press(dialog, ScanButton);
    return WaitForBox(dialog, StopQuestion);
}

bool AllThreeEnabled(HWND dialog)
{
    return !StyleDisabled(dialog, ScanButton) && !StyleDisabled(dialog, SelectPathButton) &&
           !StyleDisabled(dialog, ExitButton);
}

bool WaitIdle(HWND dialog)
{
    return WaitFor([&] { return ScanState == Idle && AllThreeEnabled(dialog); });
}

std::vector<Row> LastRows(const std::vector<Row> &rows, size_t n)
{
    return rows.size() < n ? rows : std::vector<Row>(rows.end() - n, rows.end());
}

// A folder with four infected samples and three clean files.
struct SampleFolder {
    ScratchDir dir;
    std::vector<std::string> infected, clean;
    SampleFolder()
    {
        for (samples::SampleId id : {samples::InfectedEntry1, samples::InfectedEntry2,
                                     samples::InfectedDll, samples::InfectedPe32Plus}) {
            infected.push_back(dir.file(samples::Sample(id).fileName));
            EXPECT_TRUE(testsupport::WriteBytes(infected.back(), samples::MakeSample(id)));
        }
        for (samples::SampleId id : {samples::CleanPe, samples::CleanText, samples::CleanDos}) {
            clean.push_back(dir.file(samples::Sample(id).fileName));
            EXPECT_TRUE(testsupport::WriteBytes(clean.back(), samples::MakeSample(id)));
        }
    }
    int files() const { return (int)(infected.size() + clean.size()); }
};

RECT Union(HWND a, HWND b)
{
    RECT ra, rb, out;
    GetWindowRect(a, &ra);
    if (!b)
        return ra;
    GetWindowRect(b, &rb);
    UnionRect(&out, &ra, &rb);
    return out;
}

void Shot(const char *name, HWND dialog, HWND box = NULL)
{
    std::string path = screenshot::Folder() + "\\" + name;
    EXPECT_TRUE(screenshot::Save(path, Union(dialog, box))) << path;
}

class Dialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The tests move the pointer and press keys: never on the user's screen.
        const char *display = getenv("DISPLAY");
        const char *own = getenv("KRV_OWN_DISPLAY");
        ASSERT_TRUE(display && *display && own && *own)
            << "the dialog's tests need an X display of their own: run them through "
               "scripts/wine-tests.sh, which starts Xvfb";
        TrackWorkers();
        opened.clear();
        OpenAddress = RecordOpen;
    }
    void TearDown() override
    {
        OpenAddress = ShellExecuteA;
        PlatformRestore();
    }
};

TEST_F(Dialog, OpensIdleWithEveryTextAnEmptyTwoColumnListAndFourEnabledButtons)
{
    int result = RunDialog([](HWND dialog) {
        EXPECT_EQ(dialog, MainDialog);
        EXPECT_EQ("Korvane - Tamsel Removal Tool", WindowText(dialog));
        EXPECT_STREQ("Are you sure you want to stop scanning?", StopQuestion);
        const struct { int id; const char *text; } texts[] = {
            {ScanButton, "&Scan"}, {SelectPathButton, "Select &Path"}, {AboutButton, "&About"},
            {ExitButton, "E&xit"}, {DetectsCaption, "Detects and removes:"},
            {DetectionNameLabel, "Win32.Worm.Tamsel.A"}, {TargetCaption, "Target:"},
            {TargetField, "All fixed drives"}, {LinkLabel, "www.korvane.com"},
            {CopyrightLabel, "Copyright (c) 2004-2007 Korvane Software. All rights reserved."},
            {PromoText, "For a complete protection agains any malware please\ndownload Korvane "
                        "security solutions from:"}};
        for (const auto &t : texts)
            EXPECT_EQ(t.text, ItemText(dialog, t.id)) << "control " << t.id;

        for (int id : {ScanButton, SelectPathButton, AboutButton, ExitButton}) {
            EXPECT_FALSE(StyleDisabled(dialog, id)) << id;
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, id))) << id;
        }
        EXPECT_EQ(Idle, ScanState.load());
        EXPECT_EQ(&DialogDisplay, Display);
        EXPECT_STREQ("", TargetPath);

        HWND list = GetDlgItem(dialog, ResultsList);
        EXPECT_EQ(0, ListCount(dialog));
        EXPECT_EQ((LRESULT)LVS_EX_FULLROWSELECT,
                  SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
        EXPECT_TRUE(GetWindowLongA(list, GWL_STYLE) & LVS_REPORT);
        const struct { const char *title; int width; } columns[] = {{"File", 350}, {"Status", 200}};
        for (int i = 0; i < 2; i++) {
            char title[64] = "";
            LVCOLUMNA column = {};
            column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
            column.pszText = title;
            column.cchTextMax = sizeof title;
            ASSERT_TRUE(SendMessageA(list, LVM_GETCOLUMNA, i, (LPARAM)&column)) << i;
            EXPECT_STREQ(columns[i].title, title);
            EXPECT_EQ(columns[i].width, column.cx);
            EXPECT_EQ(LVCFMT_LEFT, column.fmt & LVCFMT_JUSTIFYMASK);
        }
        LVCOLUMNA third = {};
        third.mask = LVCF_WIDTH;
        EXPECT_FALSE(SendMessageA(list, LVM_GETCOLUMNA, 2, (LPARAM)&third)) << "a third column";

        // Not centred: no owner, so it opens at the top-left corner of the screen.
        RECT r;
        GetWindowRect(dialog, &r);
        EXPECT_EQ(0, r.left);
        EXPECT_EQ(0, r.top);
        EXPECT_TRUE(SendMessageA(GetDlgItem(dialog, 1018), WM_GETTEXTLENGTH, 0, 0) > 0);
        EXPECT_EQ((LONG_PTR)LinkLabelProc, (LONG_PTR)GetWindowLongA(GetDlgItem(dialog, LinkLabel),
                                                                      GWL_WNDPROC));
        EXPECT_NE(nullptr, LinkCursor);
        EXPECT_NE(nullptr, LinkFont);
        Settle(dialog);
        Shot("idle.png", dialog);
    });
    EXPECT_EQ(0, result);
}

// Dialog template 101 as the resource compiler left it in the program.
struct TemplateItem {
    DWORD exStyle, style;
    short x, y, cx, cy;
    int id;
    std::string cls, text;
};

struct Reader {
    const BYTE *p;
    WORD Word() { WORD v; memcpy(&v, p, 2); p += 2; return v; }
    DWORD Dword() { DWORD v; memcpy(&v, p, 4); p += 4; return v; }
    // A name or an ordinal; predefined classes come as ordinals 0x80 and up.
    std::string NameOrOrdinal()
    {
        WORD first;
        memcpy(&first, p, 2);
        if (first == 0xFFFF) {
            p += 2;
            WORD ordinal = Word();
            static const char *const classes[] = {"Button", "Edit", "Static", "ListBox",
                                                  "ScrollBar", "ComboBox"};
            if (ordinal >= 0x80 && ordinal <= 0x85)
                return classes[ordinal - 0x80];
            std::string number = std::to_string(ordinal);
            return number.insert(0, 1, '#');
        }
        std::string text;
        for (WORD c; (c = Word()) != 0;)
            text += (char)c;
        return text;
    }
    void Align() { p = (const BYTE *)(((uintptr_t)p + 3) & ~(uintptr_t)3); }
};

TEST(Template, DialogAndItsFifteenControlsAsDesigned)
{
    HMODULE self = GetModuleHandleA(NULL);
    HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(IDD_MAIN), (LPCSTR)RT_DIALOG);
    ASSERT_NE(nullptr, found);
    Reader r = {(const BYTE *)LockResource(LoadResource(self, found))};
    ASSERT_EQ(1, r.Word());
    ASSERT_EQ(0xFFFF, r.Word()) << "an extended template";
    r.Dword();
    EXPECT_EQ(0u, r.Dword()) << "no extended style";
    EXPECT_EQ((DWORD)(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT), r.Dword());
    int count = r.Word();
    short x = (short)r.Word(), y = (short)r.Word(), cx = (short)r.Word(), cy = (short)r.Word();
    EXPECT_EQ(0, x);
    EXPECT_EQ(0, y);
    EXPECT_EQ(400, cx);
    EXPECT_EQ(238, cy);
    EXPECT_EQ("", r.NameOrOrdinal()) << "menu";
    EXPECT_EQ("", r.NameOrOrdinal()) << "class";
    EXPECT_EQ("", r.NameOrOrdinal()) << "caption";
    EXPECT_EQ(8, r.Word());
    EXPECT_EQ(0, r.Word()) << "weight";
    EXPECT_EQ(0, *r.p++) << "italic";
    EXPECT_EQ(DEFAULT_CHARSET, *r.p++);
    EXPECT_EQ("MS Sans Serif", r.NameOrOrdinal());
    ASSERT_EQ(15, count);

    const DWORD cv = WS_CHILD | WS_VISIBLE;
    const TemplateItem expected[15] = {
        {0, cv | BS_DEFPUSHBUTTON | WS_TABSTOP, 327, 7, 66, 14, 1021, "Button", ""},
        {0, cv | BS_PUSHBUTTON | WS_TABSTOP, 327, 24, 66, 14, 1002, "Button", ""},
        {0, cv | BS_PUSHBUTTON | WS_TABSTOP, 327, 62, 66, 14, 1000, "Button", ""},
        {0, cv | BS_PUSHBUTTON | WS_TABSTOP, 327, 81, 66, 14, 2, "Button", ""},
        {0, cv | SS_ICON, 7, 7, 20, 20, -1, "Static", "#102"},
        {0, cv | SS_LEFT | WS_GROUP, 43, 7, 91, 9, 1019, "Static", ""},
        {0, cv | SS_LEFT | WS_GROUP, 142, 7, 173, 25, 1020, "Static", ""},
        {0, cv | SS_ETCHEDHORZ, 7, 36, 308, 1, -1, "Static", ""},
        {0, cv | SS_ETCHEDHORZ, 7, 69, 308, 1, -1, "Static", ""},
        {0, cv | WS_BORDER | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL | ES_OEMCONVERT, 37, 82,
         278, 12, 1004, "Edit", ""},
        {0, cv | SS_LEFT | WS_GROUP, 7, 83, 24, 10, 1023, "Static", ""},
        {0, cv | WS_BORDER | WS_TABSTOP | LVS_REPORT, 7, 101, 386, 123, 1006, "SysListView32",
         "List1"},
        {WS_EX_RIGHT, cv | SS_LEFT | SS_SUNKEN | WS_GROUP, 7, 227, 386, 9, 1022, "Static", ""},
        {0, cv | SS_LEFT | WS_GROUP, 7, 59, 215, 9, 1018, "Static", ""},
        {0, cv | SS_LEFT | WS_GROUP, 7, 40, 324, 16, 1017, "Static", ""},
    };
    for (int i = 0; i < count; i++) {
        r.Align();
        r.Dword();                              // help id
        TemplateItem item;
        item.exStyle = r.Dword();
        item.style = r.Dword();
        item.x = (short)r.Word();
        item.y = (short)r.Word();
        item.cx = (short)r.Word();
        item.cy = (short)r.Word();
        item.id = (int)r.Dword();
        item.cls = r.NameOrOrdinal();
        item.text = r.NameOrOrdinal();
        r.p += r.Word();                        // creation data
        const TemplateItem &e = expected[i];
        EXPECT_EQ(e.id, item.id) << "control " << i + 1;
        EXPECT_STRCASEEQ(e.cls.c_str(), item.cls.c_str()) << "control " << i + 1;
        EXPECT_EQ(e.style, item.style) << "control " << i + 1;
        EXPECT_EQ(e.exStyle, item.exStyle) << "control " << i + 1;
        EXPECT_EQ(e.x, item.x) << "control " << i + 1;
        EXPECT_EQ(e.y, item.y) << "control " << i + 1;
        EXPECT_EQ(e.cx, item.cx) << "control " << i + 1;
        EXPECT_EQ(e.cy, item.cy) << "control " << i + 1;
        EXPECT_EQ(e.text, item.text) << "control " << i + 1;
    }
}

TEST_F(Dialog, OpensWhereTheTemplatePutsItWithTheTabOrderAndTheIcon)
{
    RunDialog([](HWND dialog) {
        const struct { int id; RECT units; } controls[] = {
            {ScanButton, {327, 7, 66, 14}}, {ExitButton, {327, 81, 66, 14}},
            {TargetField, {37, 82, 278, 12}}, {ResultsList, {7, 101, 386, 123}},
            {LinkLabel, {7, 59, 215, 9}}, {CopyrightLabel, {7, 227, 386, 9}}};
        for (const auto &c : controls) {
            // Each field is converted on its own, as the dialog manager does.
            RECT expected = c.units, actual;
            MapDialogRect(dialog, &expected);
            GetWindowRect(GetDlgItem(dialog, c.id), &actual);
            MapWindowPoints(NULL, dialog, (POINT *)&actual, 2);
            EXPECT_EQ(expected.left, actual.left) << c.id;
            EXPECT_EQ(expected.top, actual.top) << c.id;
            EXPECT_EQ(expected.right, actual.right - actual.left) << c.id;
            EXPECT_EQ(expected.bottom, actual.bottom - actual.top) << c.id;
        }
        std::vector<int> tabs;
        HWND first = GetNextDlgTabItem(dialog, NULL, FALSE), at = first;
        do {
            tabs.push_back(GetDlgCtrlID(at));
            at = GetNextDlgTabItem(dialog, at, FALSE);
        } while (at && at != first && tabs.size() < 20);
        EXPECT_EQ((std::vector<int>{ScanButton, SelectPathButton, AboutButton, ExitButton,
                                    TargetField, ResultsList}), tabs);
        int icons = 0;
        for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                icons++;
                EXPECT_NE(0, SendMessageA(child, STM_GETICON, 0, 0));
            }
        EXPECT_EQ(1, icons);
    });
}

TEST(Resources, IconHasTwoImagesOf256ColoursAndTheCursorIsAHandWithItsHotSpot)
{
    HMODULE self = GetModuleHandleA(NULL);
    HRSRC group = FindResourceA(self, MAKEINTRESOURCEA(IDI_MAIN), (LPCSTR)RT_GROUP_ICON);
    ASSERT_NE(nullptr, group);
#pragma pack(push, 2)
    struct GroupEntry { BYTE width, height, colours, reserved; WORD planes, bits; DWORD size; WORD id; };
    struct Group { WORD reserved, type, count; GroupEntry entries[1]; };
#pragma pack(pop)
    const Group *icons = (const Group *)LockResource(LoadResource(self, group));
    ASSERT_EQ(2, icons->count);
    std::set<int> sizes;
    for (int i = 0; i < icons->count; i++) {
        sizes.insert(icons->entries[i].width);
        EXPECT_EQ(icons->entries[i].width, icons->entries[i].height);
        EXPECT_EQ(8, icons->entries[i].bits) << "256 colours";
    }
    EXPECT_EQ((std::set<int>{16, 32}), sizes);

    HCURSOR hand = LoadCursorA(self, MAKEINTRESOURCEA(IDC_LINKHAND));
    ASSERT_NE(nullptr, hand);
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(hand, &info));
    EXPECT_FALSE(info.fIcon);
    EXPECT_EQ(12u, info.xHotspot);
    EXPECT_EQ(1u, info.yHotspot);
    BITMAP mask = {};
    GetObjectA(info.hbmMask, sizeof mask, &mask);
    EXPECT_EQ(32, mask.bmWidth);
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    HRSRC cursors = FindResourceA(self, MAKEINTRESOURCEA(IDC_LINKHAND), (LPCSTR)RT_GROUP_CURSOR);
    ASSERT_NE(nullptr, cursors);
    EXPECT_EQ(1, ((const Group *)LockResource(LoadResource(self, cursors)))->count);
}

TEST_F(Dialog, ScanOfSamplesShowsEveryEventThenTheReportAndTheRestartWarning)
{
    SampleFolder folder;
    RunDialog([&](HWND dialog) {
        ChooseTarget(dialog, folder.dir.path());
        EXPECT_EQ(folder.dir.path(), ItemText(dialog, TargetField));
        InstallGate();
        TheGate.holdAtRow = 1;
        Press(dialog, ScanButton);
        ASSERT_TRUE(TheGate.WaitHeld()) << "no row came from the scan";

        // During the scan: Stop caption, folder and exit buttons off, Scan/Stop on.
        EXPECT_EQ(Scanning, ScanState.load());
        EXPECT_EQ(StopCaption, ItemText(dialog, ScanButton));
        EXPECT_FALSE(StyleDisabled(dialog, ScanButton));
        EXPECT_TRUE(StyleDisabled(dialog, SelectPathButton));
        EXPECT_TRUE(StyleDisabled(dialog, ExitButton));
        EXPECT_FALSE(StyleDisabled(dialog, AboutButton));
        EXPECT_EQ(folder.dir.path() + "\\", ItemText(dialog, TargetField));
        TheGate.Release();

        HWND warning = WaitForBox(dialog, RestartWarning);
        ASSERT_NE(nullptr, warning) << "no restart warning";
        EXPECT_EQ(DialogTitle, WindowText(warning));
        EXPECT_EQ(nullptr, GetDlgItem(warning, IDYES));
        // The report is complete before the warning; the buttons wait for its answer.
        std::vector<Row> rows = ListRows(dialog);
        const std::vector<std::string> values = {"1", std::to_string(folder.files()), "4", "0", "0",
                                                 "0", "4", "0", "0", "0"};
        EXPECT_EQ(testsupport::ExpectedReport(values), LastRows(rows, 11));
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
        EXPECT_EQ(Scanning, ScanState.load());
        EXPECT_TRUE(StyleDisabled(dialog, SelectPathButton));
        EXPECT_TRUE(StyleDisabled(dialog, ExitButton));
        EXPECT_EQ(folder.dir.path(), ItemText(dialog, TargetField));
        ASSERT_TRUE(Answer(warning, IDOK));

        ASSERT_TRUE(WaitIdle(dialog)) << "the dialog did not return to Idle";
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
        rows = ListRows(dialog);
        // The list holds what the worker showed, in the order it showed it: two rows for each
        // infected file, then the report.
        EXPECT_EQ(TheGate.rows, rows);
        ASSERT_EQ(8u + 11u, rows.size());
        std::set<std::string> seen;
        for (size_t i = 0; i < 8; i += 2) {
            EXPECT_EQ(InfectedStatus, rows[i].status) << i;
            EXPECT_EQ(rows[i].file, rows[i + 1].file) << i;
            EXPECT_EQ(StatusDeleted, rows[i + 1].status) << i;
            seen.insert(rows[i].file);
        }
        EXPECT_EQ(std::set<std::string>(folder.infected.begin(), folder.infected.end()), seen);
        for (const std::string &f : folder.infected)
            EXPECT_FALSE(testsupport::Exists(f)) << f;
        for (const std::string &f : folder.clean)
            EXPECT_TRUE(testsupport::Exists(f)) << f;

        // The newest row, "Unable to be cleaned:", is in view.
        HWND list = GetDlgItem(dialog, ResultsList);
        int top = (int)SendMessageA(list, LVM_GETTOPINDEX, 0, 0);
        int perPage = (int)SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0);
        EXPECT_LE((int)rows.size() - 1, top + perPage - 1);
        Settle(dialog);
        Shot("report.png", dialog);
    });
}

TEST_F(Dialog, StopAnsweredNoGoesOnAndYesStopsWithTheCountsReached)
{
    SampleFolder folder;
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(StartHeld(dialog, folder.dir.path(), 1));

        HWND question = PressStop(dialog);
        ASSERT_NE(nullptr, question) << "no stop confirmation";
        EXPECT_EQ(DialogTitle, WindowText(question));
        ASSERT_TRUE(Answer(question, IDNO));
        Settle(dialog);
        EXPECT_EQ(Scanning, ScanState.load());
        EXPECT_EQ(1, ScanContinue.load());
        EXPECT_EQ(StopCaption, ItemText(dialog, ScanButton));
        EXPECT_FALSE(StyleDisabled(dialog, ScanButton));

        // The scan goes on: hold it again at the next file's first row.
        TheGate.Release(3);
        ASSERT_TRUE(TheGate.WaitHeld()) << "the scan did not go on after No";
        Press(dialog, ScanButton);
        question = WaitForBox(dialog, StopQuestion);
        ASSERT_NE(nullptr, question);
        ASSERT_TRUE(Answer(question, IDYES));
        Settle(dialog);
        EXPECT_EQ(Stopping, ScanState.load());
        EXPECT_EQ(0, ScanContinue.load());
        EXPECT_TRUE(StyleDisabled(dialog, ScanButton));
        EXPECT_EQ(StopCaption, ItemText(dialog, ScanButton));
        // A press on the disabled button (or one that gets through anyway) does nothing.
        Press(dialog, ScanButton);
        Settle(dialog);
        EXPECT_TRUE(MessageBoxesOf(dialog).empty());
        TheGate.Release();

        HWND warning = WaitForBox(dialog, RestartWarning);
        ASSERT_NE(nullptr, warning);
        ASSERT_TRUE(Answer(warning, IDOK));
        ASSERT_TRUE(WaitIdle(dialog));
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));

        // The file being worked on is finished, then the walk ends: two of four infected.
        std::vector<Row> rows = ListRows(dialog);
        ASSERT_EQ(4u + 11u, rows.size());
        std::vector<Row> report = LastRows(rows, 11);
        EXPECT_EQ("1", report[1].status);
        int files = atoi(report[2].status.c_str());
        EXPECT_GE(files, 2);
        EXPECT_LT(files, folder.files());
        EXPECT_EQ(files, ScanCounters.files);
        EXPECT_EQ("2", report[3].status);
        EXPECT_EQ("2", report[7].status);
        int left = 0;
        for (const std::string &f : folder.infected)
            left += testsupport::Exists(f);
        EXPECT_EQ(2, left);
    });
}

TEST_F(Dialog, StopConfirmedAfterTheScanEndedOnItsOwnDoesNothing)
{
    SampleFolder folder;
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(StartHeld(dialog, folder.dir.path(), 1));
        HWND question = PressStop(dialog);
        ASSERT_NE(nullptr, question);

        // While the question is open the scan ends, report, warning and all.
        TheGate.OpenAll();
        HWND warning = WaitForBox(dialog, RestartWarning);
        ASSERT_NE(nullptr, warning);
        ASSERT_TRUE(Answer(warning, IDOK));
        ASSERT_TRUE(WaitIdle(dialog)) << "the end of the scan waited for the question";
        EXPECT_EQ(1, WorkersStarted());

        ASSERT_TRUE(Answer(question, IDYES));
        Settle(dialog);
        EXPECT_EQ(Idle, ScanState.load());
        EXPECT_TRUE(AllThreeEnabled(dialog));
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
        EXPECT_EQ(1, ScanContinue.load()) << "a stop reached a scan that had ended";

        // And the dialog is fully usable: the next press starts a scan.
        Press(dialog, ScanButton);
        ASSERT_TRUE(WaitFor([] { return WorkersStarted() == 2 && WorkersFinished() == 2; }));
        ASSERT_TRUE(WaitIdle(dialog));
    });
}

TEST_F(Dialog, StopConfirmedWhileTheReportIsWrittenStillEndsIdleWithEveryButtonOn)
{
    // The report has set the caption back to "&Scan" but the scan is not over: a press now
    // is a Stop, and its Disable and its Stopping must not outlast the report's end.
    SampleFolder folder;
    RunDialog([&](HWND dialog) {
        // Held at the report's last row, "Unable to be cleaned:".
        ASSERT_TRUE(StartHeld(dialog, folder.dir.path(), 8 + 11));
        ASSERT_EQ(ReportRows[ReportRowCount - 1].label, TheGate.rows.back().file);
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
        EXPECT_EQ(Scanning, ScanState.load());

        HWND question = PressStop(dialog);
        ASSERT_NE(nullptr, question);
        ASSERT_TRUE(Answer(question, IDYES));
        Settle(dialog);
        EXPECT_EQ(Stopping, ScanState.load());
        EXPECT_TRUE(StyleDisabled(dialog, ScanButton));
        TheGate.Release();

        HWND warning = WaitForBox(dialog, RestartWarning);
        ASSERT_NE(nullptr, warning);
        ASSERT_TRUE(Answer(warning, IDOK));
        ASSERT_TRUE(WaitIdle(dialog)) << "left disabled or not Idle after the scan";
        Settle(dialog);
        EXPECT_EQ(Idle, ScanState.load());
        EXPECT_TRUE(AllThreeEnabled(dialog));
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
        EXPECT_EQ(19, ListCount(dialog));
    });
}

// The end of a scan enables the buttons and then sets Idle. A Stop confirmed between the two
// would disable Scan and set Stopping, and Idle would then come over it: a dialog with Scan
// disabled for good. Held right after the last enable, the Yes must wait for the end.
TEST_F(Dialog, StopConfirmedBetweenTheLastEnableAndIdleWaitsForTheEnd)
{
    ScratchDir empty;       // nothing infected: no restart warning before the end
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(StartHeld(dialog, empty.path(), 1));
        HWND question = PressStop(dialog);
        ASSERT_NE(nullptr, question);

        TheGate.holdAtEnable = ExitButton;
        TheGate.Release();
        ASSERT_TRUE(TheGate.WaitHeld());
        PostMessageA(question, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED),
                     (LPARAM)GetDlgItem(question, IDYES));
        WaitFor([] { return ScanState == Stopping; }, 1.0);
        TheGate.Release();

        ASSERT_TRUE(WaitFor([&] { return !IsWindow(question) && WorkersFinished() == 1; }));
        Settle(dialog);
        EXPECT_EQ(Idle, ScanState.load());
        EXPECT_TRUE(AllThreeEnabled(dialog));
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
    });
}

TEST_F(Dialog, AboutDuringAScanShowsTheBoxWhileTheScanGoesOn)
{
    SampleFolder folder;
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(StartHeld(dialog, folder.dir.path(), 1));

        Press(dialog, AboutButton);
        const std::string about = std::string("Detects and removes:\nWin32.Worm.Tamsel.A\n\n") +
                                  "Copyright (c) 2004-2007 Korvane Software. All rights reserved.";
        HWND box = WaitForBox(dialog, about);
        ASSERT_NE(nullptr, box) << "no About box";
        EXPECT_EQ(DialogTitle, WindowText(box));
        EXPECT_NE(nullptr, GetDlgItem(box, IDOK));
        EXPECT_EQ(nullptr, GetDlgItem(box, IDNO));
        RedrawWindow(box, NULL, NULL, RDW_UPDATENOW | RDW_ALLCHILDREN);
        Shot("about.png", dialog, box);

        TheGate.OpenAll();
        HWND warning = WaitForBox(dialog, RestartWarning);
        ASSERT_NE(nullptr, warning) << "the scan did not go on under the About box";
        ASSERT_TRUE(Answer(warning, IDOK));
        ASSERT_TRUE(WaitIdle(dialog));
        EXPECT_TRUE(IsWindow(box));
        EXPECT_EQ(8u + 11u, ListRows(dialog).size());
        ASSERT_TRUE(Answer(box, IDOK));
    });
}

TEST_F(Dialog, SecondScanEmptiesTheListFirstAndReportsOnlyItself)
{
    SampleFolder folder;
    RunDialog([&](HWND dialog) {
        ChooseTarget(dialog, folder.dir.path());
        InstallGate();
        Press(dialog, ScanButton);
        HWND warning = WaitForBox(dialog, RestartWarning);
        ASSERT_NE(nullptr, warning);
        ASSERT_TRUE(Answer(warning, IDOK));
        ASSERT_TRUE(WaitIdle(dialog));
        ASSERT_EQ(19, ListCount(dialog));

        // The infected files are gone now: the second scan finds nothing.
        TheGate.holdAtTarget = (int)TheGate.targets.size() + 1;
        Press(dialog, ScanButton);
        ASSERT_TRUE(TheGate.WaitHeld());
        EXPECT_EQ(0, ListCount(dialog)) << "the list was not emptied when the scan started";
        EXPECT_EQ(Scanning, ScanState.load());
        TheGate.Release();
        ASSERT_TRUE(WaitIdle(dialog)) << "no Idle (a restart warning for a clean scan?)";
        const std::vector<std::string> values = {"1", std::to_string(folder.clean.size()), "0",
                                                 "0", "0", "0", "0", "0", "0", "0"};
        EXPECT_EQ(testsupport::ExpectedReport(values), ListRows(dialog));
        EXPECT_TRUE(MessageBoxesOf(dialog).empty());
    });
}

TEST_F(Dialog, ExitEscapeAndTheCloseBoxEndTheDialogAlsoDuringAScan)
{
    // Idle: the Exit button.
    bool sawEnd = false;
    EXPECT_EQ(0, RunDialog([&](HWND dialog) {
        Press(dialog, ExitButton);
        sawEnd = WaitFor([&] { return !IsWindow(dialog); });
    }));
    EXPECT_TRUE(sawEnd);

    // Idle: Esc in the dialog, as the keyboard gives it.
    EXPECT_EQ(0, RunDialog([&](HWND dialog) {
        HWND button = GetDlgItem(dialog, ScanButton);
        PostMessageA(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(button, WM_KEYUP, VK_ESCAPE, 0xC0010001);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(dialog); })) << "Esc did not end the dialog";
    }));
    EXPECT_EQ(0, WorkersStarted());

    // During a scan the Exit button is off, but the command still ends the dialog at once,
    // without waiting for the worker.
    SampleFolder folder;
    for (int way = 0; way < 3; way++) {
        EXPECT_EQ(0, RunDialog([&](HWND dialog) {
            ChooseTarget(dialog, folder.dir.path());
            InstallGate();
            TheGate.holdAtTarget = 1;
            Press(dialog, ScanButton);
            ASSERT_TRUE(TheGate.WaitHeld());
            ASSERT_TRUE(StyleDisabled(dialog, ExitButton));
            if (way == 0)
                Press(dialog, ExitButton);
            else if (way == 1)
                PostMessageA(GetDlgItem(dialog, ScanButton), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
            else
                PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            EXPECT_TRUE(WaitFor([&] { return !IsWindow(dialog); })) << "way " << way;
            EXPECT_EQ(Scanning, ScanState.load()) << "the worker is still held";
        })) << "way " << way;
        // The worker, let go after the dialog ended, finishes quietly and leaves Idle behind.
        EXPECT_EQ(1, WorkersFinished()) << "way " << way;
        EXPECT_EQ(Idle, ScanState.load()) << "way " << way;
        TrackWorkers();
    }
}

TEST_F(Dialog, AWorkerThatCannotStartLeavesTheDialogIdle)
{
    TrackWorkers(true);
    RunDialog([&](HWND dialog) {
        const ResultRow row = {"left over", "from before", RowOther, 0};
        DialogDisplay.addRow(&row);
        ASSERT_EQ(1, ListCount(dialog));
        Press(dialog, ScanButton);
        Settle(dialog);
        EXPECT_EQ(Idle, ScanState.load());
        EXPECT_TRUE(AllThreeEnabled(dialog));
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
        EXPECT_EQ(0, ListCount(dialog));
        // Usable again: About still answers, and a scan can start once threads can.
        TrackWorkers();
        Press(dialog, ScanButton);
        ASSERT_TRUE(WaitFor([] { return WorkersFinished() == 1; }));
        ASSERT_TRUE(WaitIdle(dialog));
    });
}

TEST_F(Dialog, SelectPathCancelledMeansAllFixedDrivesAndTheDialogWaitsForTheBrowser)
{
    SampleFolder folder;
    RunDialog([&](HWND dialog) {
        ChooseTarget(dialog, folder.dir.path());
        Press(dialog, SelectPathButton);
        HWND browser = NULL;
        ASSERT_TRUE(WaitFor([&] {
            std::vector<HWND> owned = MessageBoxesOf(dialog);
            browser = owned.empty() ? NULL : owned.back();
            return browser != NULL;
        })) << "no folder browser";
        // Modal to the dialog: no scan can start and the target cannot change under one.
        EXPECT_FALSE(IsWindowEnabled(dialog));
        PostMessageA(browser, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(WaitFor([&] { return !IsWindow(browser); }));
        Settle(dialog);
        EXPECT_TRUE(IsWindowEnabled(dialog));
        EXPECT_STREQ("", TargetPath);
        EXPECT_EQ("All fixed drives", ItemText(dialog, TargetField));
        EXPECT_EQ(0, WorkersStarted());
    });
}

// The link label: drawn blue on the face colour, the hand on every move, the address opened.
struct LinkPixels {
    int blue = 0, red = 0, face = 0, other = 0;
};

LinkPixels ReadLink(HWND label)
{
    LinkPixels p;
    RECT r;
    GetClientRect(label, &r);
    HDC dc = GetDC(label);
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    for (int y = 0; y < r.bottom; y++)
        for (int x = 0; x < r.right; x++) {
            COLORREF c = GetPixel(dc, x, y);
            if (c == RGB(0, 0, 255))
                p.blue++;
            else if (c == RGB(255, 0, 0))
                p.red++;
            else if (c == face)
                p.face++;
            else
                p.other++;
        }
    ReleaseDC(label, dc);
    return p;
}

TEST_F(Dialog, LinkLabelDrawsTheAddressInBlueShowsTheHandAndOpensTheAddress)
{
    RunDialog([&](HWND dialog) {
        HWND label = GetDlgItem(dialog, LinkLabel);
        LinkPixels before;
        // The underline alone is wider than 100 pixels; wait until the drawing has settled.
        ASSERT_TRUE(WaitFor([&] {
            LinkPixels last = before;
            before = ReadLink(label);
            return before.blue > 100 && before.blue == last.blue;
        }))
            << "no blue address drawn (blue " << before.blue << ")";
        EXPECT_EQ(0, before.red);
        EXPECT_GT(before.face, before.blue) << "the rest of the label is the face colour";

        // The window text plays no part in the drawing.
        SetWindowTextA(label, "something else entirely, and longer than the address");
        RedrawWindow(label, NULL, NULL, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
        LinkPixels after = ReadLink(label);
        EXPECT_EQ(before.blue, after.blue);

        // Every mouse move over the label shows the hand.
        AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(dialog, NULL), TRUE);
        SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_ARROW));
        SendMessageA(label, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
        EXPECT_EQ(LinkCursor, GetCursor());
        SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_ARROW));
        SendMessageA(label, WM_MOUSEMOVE, 0, MAKELPARAM(5, 4));
        EXPECT_EQ(LinkCursor, GetCursor());
        AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(dialog, NULL), FALSE);

        // A press of the left button opens "http://" and the address; the others do nothing.
        SendMessageA(label, WM_RBUTTONDOWN, MK_RBUTTON, 0);
        SendMessageA(label, WM_MBUTTONDOWN, MK_MBUTTON, 0);
        EXPECT_TRUE(opened.empty());
        SendMessageA(label, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        ASSERT_EQ(1u, opened.size());
        EXPECT_EQ("http://www.korvane.com", opened[0].file);
        EXPECT_EQ("open", opened[0].verb);
        EXPECT_EQ(nullptr, opened[0].owner);
        EXPECT_TRUE(opened[0].noParameters);
        EXPECT_TRUE(opened[0].noDirectory);
        EXPECT_EQ(SW_SHOWNORMAL, opened[0].show);
        EXPECT_LE(strlen(VendorAddress), 248u);
    });
}

TEST_F(Dialog, LinkLabelTurnsRedUnderThePointerAndBlueWhenItLeaves)
{
    RunDialog([&](HWND dialog) {
        HWND label = GetDlgItem(dialog, LinkLabel);
        ASSERT_TRUE(WaitFor([&] { return ReadLink(label).blue > 100; }));
        RECT r;
        GetWindowRect(label, &r);
        LinkPixels over;
        int step = 0;
        // Pixels are read while the dialog thread may be drawing: wait for the whole address.
        // The pointer keeps moving over the label, as a hand would: a single warp can reach the
        // X server before the window is ready to hear of it, and a pointer at rest tells nothing.
        EXPECT_TRUE(WaitFor([&] {
            SetCursorPos(r.left + 10 + (step++ & 1), (r.top + r.bottom) / 2);
            over = ReadLink(label);
            return over.red > 100 && over.blue == 0;
        }, 10.0)) << "not red under the pointer (red " << over.red << ", blue " << over.blue << ")";
        SetCursorPos(600, 600);
        LinkPixels away;
        EXPECT_TRUE(WaitFor([&] {
            away = ReadLink(label);
            return away.blue > 100 && away.red == 0;
        }, 10.0)) << "still red after the pointer left (red " << away.red << ", blue " << away.blue << ")";
    });
}

TEST_F(Dialog, TheLinkOpensDuringAScanWhichGoesOn)
{
    SampleFolder folder;
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(StartHeld(dialog, folder.dir.path(), 1));
        SendMessageA(GetDlgItem(dialog, LinkLabel), WM_LBUTTONDOWN, MK_LBUTTON, 0);
        ASSERT_EQ(1u, opened.size());
        EXPECT_EQ("http://www.korvane.com", opened[0].file);
        EXPECT_EQ(Scanning, ScanState.load());
        TheGate.OpenAll();
        HWND warning = WaitForBox(dialog, RestartWarning);
        ASSERT_NE(nullptr, warning);
        ASSERT_TRUE(Answer(warning, IDOK));
        ASSERT_TRUE(WaitIdle(dialog));
    });
}

// The machine-wide Run key, for real.
const char RunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

struct Value {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};

std::vector<Value> RunValues()
{
    std::vector<Value> values;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD i = 0;; i++) {
        char name[256];
        BYTE data[2048];
        DWORD length = sizeof name, size = sizeof data, type = 0;
        if (RegEnumValueA(key, i, name, &length, NULL, &type, data, &size) != ERROR_SUCCESS)
            break;
        values.push_back({name, type, std::vector<BYTE>(data, data + size)});
    }
    RegCloseKey(key);
    return values;
}

std::vector<std::string> Names(const std::vector<Value> &values)
{
    std::vector<std::string> names;
    for (const Value &v : values)
        names.push_back(v.name);
    return names;
}

void PlantRunValues(const std::vector<std::string> &names)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, NULL, 0,
                                             KEY_ALL_ACCESS, NULL, &key, NULL));
    for (const std::string &n : names) {
        const char data[] = "C:\\windows\\system32\\svchosts.exe";
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, n.c_str(), 0, REG_SZ, (const BYTE *)data,
                                                sizeof data));
    }
    RegCloseKey(key);
}

void RemoveRunValues(const std::vector<std::string> &names)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    for (const std::string &n : names)
        RegDeleteValueA(key, n.c_str());
    RegCloseKey(key);
}

// Value names are case-insensitive in the registry: the second name rewrites the first value,
// so two values that differ only by case exist only in the fake key of the unit tests.
const std::vector<std::string> Planted = {"System-Service", "system-service",
                                          "System-ServiceXYZ", "System-Servic"};

std::string FirstMatch(const std::vector<std::string> &names)
{
    for (const std::string &n : names)
        if (_strnicmp(n.c_str(), "System-Service", 14) == 0)
            return n;
    return "";
}

TEST_F(Dialog, OpeningRemovesExactlyTheFirstMatchingRunValue)
{
    PlantRunValues(Planted);
    std::vector<std::string> before = Names(RunValues());
    std::string first = FirstMatch(before);
    ASSERT_FALSE(first.empty());
    RunDialog([&](HWND) {
        std::vector<std::string> after = Names(RunValues());
        std::vector<std::string> expected = before;
        expected.erase(std::find(expected.begin(), expected.end(), first));
        EXPECT_EQ(expected, after) << "removed should have been " << first;
    });
    RemoveRunValues(Planted);
}

TEST_F(Dialog, AMissingRunKeyChangesNothing)
{
    std::vector<Value> saved = RunValues();
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, RunKeyPath));
    RunDialog([&](HWND dialog) {
        HKEY key;
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_READ, &key))
            << "the key was created";
        EXPECT_EQ(Idle, ScanState.load());
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
    });
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, NULL, 0,
                                             KEY_ALL_ACCESS, NULL, &key, NULL));
    for (const Value &v : saved)
        RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data.data(), (DWORD)v.data.size());
    RegCloseKey(key);
}

// The shipped program, as its own process.
struct FoundWindow {
    DWORD process;
    HWND window;
};

BOOL CALLBACK FindProgramDialog(HWND window, LPARAM parameter)
{
    FoundWindow *found = (FoundWindow *)parameter;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == found->process && IsWindowVisible(window) &&
        WindowText(window) == DialogTitle) {
        found->window = window;
        return FALSE;
    }
    return TRUE;
}

TEST_F(Dialog, TheShippedProgramOpensCleansTheRunKeyAndEndsWithZero)
{
    PlantRunValues(Planted);
    std::vector<std::string> before = Names(RunValues());
    std::string first = FirstMatch(before);
    ASSERT_FALSE(first.empty());

    std::string program = "\\\\?\\unix";
    for (const char *p = KRV_PROGRAM; *p; p++)
        program += *p == '/' ? '\\' : *p;
    std::string commandLine = "\"" + program + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessA(program.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL,
                               "C:\\", &startup, &info))
        << program << " error " << GetLastError();

    FoundWindow found = {info.dwProcessId, NULL};
    EXPECT_TRUE(WaitFor([&] {
        found.window = NULL;
        EnumWindows(FindProgramDialog, (LPARAM)&found);
        return found.window != NULL;
    })) << "the program's dialog did not open";
    if (found.window) {
        HWND dialog = found.window;
        EXPECT_EQ(ScanCaption, ItemText(dialog, ScanButton));
        EXPECT_EQ("All fixed drives", ItemText(dialog, TargetField));
        EXPECT_EQ("www.korvane.com", ItemText(dialog, LinkLabel));
        EXPECT_EQ(0, ListCount(dialog));
        std::vector<std::string> expected = before;
        expected.erase(std::find(expected.begin(), expected.end(), first));
        EXPECT_EQ(expected, Names(RunValues())) << "removed should have been " << first;
        PostMessageA(dialog, WM_COMMAND, ExitButton, 0);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 20000)) << "the program did not end";
    DWORD code = 99;
    GetExitCodeProcess(info.hProcess, &code);
    EXPECT_EQ(0u, code);
    if (code == STILL_ACTIVE)
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    RemoveRunValues(Planted);
}

}  // namespace
