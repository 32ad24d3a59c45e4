// The scan against trees built to break it, one table of cases. Every case ends the same way:
// each file that is not infected is byte-identical and keeps its attributes (inside the tree
// and beside it), no copy (".qx-") is left, and the scan is over within a time limit; each
// case then checks the rows it must give. Changes during the scan come at the worst moment:
// between the listing of a file and its opening. The cases that exist on Windows run under
// Wine too.
#include "platform/platform.h"
#include "platform/platform_hooks.h"
#include "scan/scanstate.h"
#include "walk/walk.h"
#include "tests/support/testsupport.h"
#include "tools/samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's count of the heap in use (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

using testsupport::Row;

namespace {

const std::string Sep(1, PathSeparator);
const std::string InfectedRow = "infected: Win32.Worm.Tamsel.A";
const int ScanSeconds = 300;    // a scan still running then has hung

// ---- the state of every entry below a folder, links not followed ----------------------------

struct EntryState {
    uint32_t attributes;        // st_mode on POSIX, the attribute word on Windows
    std::vector<uint8_t> bytes; // regular files only
    bool operator==(const EntryState &o) const { return attributes == o.attributes && bytes == o.bytes; }
};
using Snapshot = std::map<std::string, EntryState>;   // path relative to the folder taken

#ifdef _WIN32
void Take(const std::string &folder, const std::string &relative, Snapshot &out)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*.*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = data.cFileName, path = folder + "\\" + name, rel = relative + "\\" + name;
        if (name == "." || name == "..")
            continue;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            out[rel] = {data.dwFileAttributes, testsupport::ReadBytes(path)};
        else if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            Take(path, rel, out);
    } while (FindNextFileA(find, &data));
    FindClose(find);
}

Snapshot TakeSnapshot(const std::string &folder)
{
    Snapshot out;
    Take(folder, "", out);
    return out;
}
#else
// Relative to open folders all the way down: the deep case goes past what a whole path names.
void Take(int folder, const std::string &relative, Snapshot &out)
{
    DIR *dir = fdopendir(folder);
    if (!dir) {
        close(folder);
        return;
    }
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name, rel = relative + "/" + name;
        struct stat st;
        if (name == "." || name == ".." || fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        EntryState &state = out[rel];
        state.attributes = st.st_mode;
        int flags = S_ISDIR(st.st_mode) ? O_DIRECTORY : 0;
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            continue;   // FIFOs, sockets, devices and links: their kind and mode only
        int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | flags);
        if (fd < 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            Take(fd, rel, out);
            continue;
        }
        char buffer[65536];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
            state.bytes.insert(state.bytes.end(), buffer, buffer + got);
        close(fd);
    }
    closedir(dir);
}

Snapshot TakeSnapshot(const std::string &folder)
{
    Snapshot out;
    Take(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), "", out);
    return out;
}
#endif

// ---- a case: its tree, what happens during the scan, what it must show -----------------------

struct Tree {
    std::string top;                         // holds the scanned folder and what lies beside it
    std::string scanned;                     // the folder the scan is given
    std::set<std::string> gone;              // relative to top: infected, deleted by the scan
    std::set<std::string> changedByCase;     // relative to top: changed during the scan
    std::vector<Row> rows;                   // the rows the scan must give, in any order
    std::map<std::string, std::function<void(const std::string &)>> during;   // path: action
    int32_t files = -1;                      // the Files counter, when it matters
    bool scanAsNobody = false;               // POSIX as root: scan without root's rights
    std::function<void()> beforeScan;        // takes hold of files, once they are recorded
    std::function<void()> afterScan;         // lets go of them
    std::function<void()> cleanup;           // removes what the scratch folder's removal cannot
};

void WriteSample(const std::string &path, samples::SampleId id)
{
    ASSERT_TRUE(testsupport::WriteBytes(path, samples::MakeSample(id))) << path;
}

// An infected file at `path` (relative to top), expected deleted with its two rows.
void AddInfected(Tree &t, const std::string &relative, samples::SampleId id = samples::InfectedEntry1)
{
    WriteSample(t.top + relative, id);
    t.gone.insert(relative);
    t.rows.push_back({t.top + relative, InfectedRow});
    t.rows.push_back({t.top + relative, "deleted"});
}

void AddClean(Tree &t, const std::string &relative, samples::SampleId id = samples::CleanPe)
{
    WriteSample(t.top + relative, id);
}

// ---- the cases ------------------------------------------------------------------------------

// Folders of 200-byte names (60 on Windows, so that a few levels are within reach), nested until their path is far longer than the system takes
// (made relative to each other on POSIX, through "\\?\" paths on Windows); a program on every
// level: clean while the walk can reach it, infected beyond. The first folder whose path is too
// long is counted as a folder that cannot be listed (no row); a program whose path is too long
// in a folder that is not gets its row; nothing beyond is reached or changed.
void DeepTree(Tree &t)
{
    const std::string name(PlatformMaxPath > 1000 ? 200 : 60, 'd');
    AddInfected(t, "/tree/worm.exe");
    const std::vector<uint8_t> clean = samples::MakeSample(samples::CleanPe);
    const std::vector<uint8_t> worm = samples::MakeSample(samples::InfectedEntry2);
#ifdef _WIN32
    std::wstring wide = L"\\\\?\\" + std::wstring(t.scanned.begin(), t.scanned.end());
    const size_t top = wide.size();
#else
    int folder = open(t.scanned.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    std::string path = t.scanned;
    for (bool walked = true; path.size() < PlatformMaxPath + 600;) {
        path += Sep + name;
        // Entered with room for the separator and "*.*"; its program needs room for "/c.exe".
        bool entered = walked && path.size() + 4 < PlatformMaxPath;
        if (entered && path.size() + 6 >= PlatformMaxPath)
            t.rows.push_back({path + Sep + "c.exe", "unable to open file"});
        walked = entered;
        const std::vector<uint8_t> &bytes = entered ? clean : worm;
#ifdef _WIN32
        wide += L"\\" + std::wstring(name.begin(), name.end());
        ASSERT_TRUE(CreateDirectoryW(wide.c_str(), NULL));
        HANDLE file = CreateFileW((wide + L"\\c.exe").c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
        CloseHandle(file);
        ASSERT_EQ(bytes.size(), written);
#else
        ASSERT_EQ(0, mkdirat(folder, name.c_str(), 0755));
        int inner = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(folder);
        ASSERT_GE(folder = inner, 0);
        int fd = openat(folder, "c.exe", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ((ssize_t)bytes.size(), write(fd, bytes.data(), bytes.size()));
        close(fd);
#endif
    }
#ifdef _WIN32
    t.cleanup = [wide, top]() mutable {   // past 260 characters only "\\?\" paths reach
        for (; wide.size() > top; wide.resize(wide.rfind(L'\\'))) {
            DeleteFileW((wide + L"\\c.exe").c_str());
            RemoveDirectoryW(wide.c_str());
        }
    };
#else
    close(folder);
#endif
}

// The longest names the system allows: 255 bytes on POSIX, what a 259-character path leaves on
// Windows; a clean one and an infected one.
void LongNames(Tree &t)
{
#ifdef _WIN32
    const size_t length = 259 - t.scanned.size() - 1;
#else
    const size_t length = 255;
#endif
    AddClean(t, "/tree/" + std::string(length - 4, 'c') + ".exe");
    AddInfected(t, "/tree/" + std::string(length - 4, 'w') + ".dll", samples::InfectedDll);
}

// Names that trip up whatever takes a name for something else: spaces, leading dashes,
// trailing dots, line breaks and bytes outside ASCII (not all exist on Windows).
void OddNames(Tree &t)
{
#ifdef _WIN32
    const char *const clean[] = {" spaced name .exe", "-rf.exe", "--help", "caf\xe9.exe", "\xa0\xff.dll"};
    const std::string worm = "- \xe9 worm.exe";
#else
    const char *const clean[] = {" spaced name .exe", "-rf.exe", "--help", "trailing.exe.", "...",
                                 "line\nbreak.exe", "\r\n", "caf\xc3\xa9.exe", "\xff\xfe\x80.dll",
                                 "tab\t.exe", "star*?.exe"};
    const std::string worm = "-\n \xff worm.exe.";
#endif
    for (const char *name : clean)
        AddClean(t, "/tree/" + std::string(name));
    AddInfected(t, "/tree/" + worm);
}

// Files and folders the scan may not read: a clean and an infected program, and a folder with a
// program inside. As root on POSIX the scan runs as nobody, for whom the permission bits count.
// The programs give "unable to open file"; the folder is counted and left, as any folder that
// cannot be listed.
void Unreadable(Tree &t)
{
    const std::string clean = "/tree/locked.exe", worm = "/tree/locked-worm.exe";
    AddClean(t, clean);
    WriteSample(t.top + worm, samples::InfectedEntry1);
    ASSERT_TRUE(testsupport::MakeDir(t.top + "/tree/closed"));
    AddClean(t, "/tree/closed/inside.exe");
    t.rows = {{t.top + clean, "unable to open file"}, {t.top + worm, "unable to open file"}};
#ifdef _WIN32
    // Held without sharing by handles of the test, as a running program can hold a file; a
    // folder cannot be closed to an administrator, so this one is listed.
    static HANDLE held[2];
    const std::string paths[2] = {t.top + clean, t.top + worm};
    t.beforeScan = [paths] {
        for (int i = 0; i < 2; i++) {
            held[i] = CreateFileA(paths[i].c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
            ASSERT_NE(INVALID_HANDLE_VALUE, held[i]);
        }
    };
    t.afterScan = [] {
        CloseHandle(held[0]);
        CloseHandle(held[1]);
    };
    t.files = 3;
#else
    for (const std::string &path : {clean, worm, std::string("/tree/closed")})
        ASSERT_EQ(0, chmod((t.top + path).c_str(), 0));
    t.scanAsNobody = geteuid() == 0;
    t.files = 2;
#endif
}

// Files that change between being listed and being opened: deleted, truncated, replaced by a
// folder, and on POSIX by a FIFO and by a link to a read-only program beside the tree. Each
// program that cannot be opened any more gives "unable to open file"; nothing follows the link.
void ChangingFiles(Tree &t)
{
    auto program = [&](const std::string &relative, samples::SampleId id) {
        WriteSample(t.top + relative, id);
        t.changedByCase.insert(relative);
    };
    AddClean(t, "/tree/clean.exe");
    program("/tree/deleted.exe", samples::InfectedEntry1);
    program("/tree/truncated.exe", samples::InfectedEntry1);
    program("/tree/to-folder.exe", samples::CleanPe);
    t.during[t.top + "/tree/deleted.exe"] = [](const std::string &p) { std::remove(p.c_str()); };
    t.during[t.top + "/tree/truncated.exe"] = [](const std::string &p) {
        testsupport::WriteBytes(p, std::vector<uint8_t>(100, 'M'));
    };
    t.during[t.top + "/tree/to-folder.exe"] = [](const std::string &p) {
        std::remove(p.c_str());
        testsupport::MakeDir(p);
    };
    // deleted.exe is gone, not unscanned: no row.
    t.rows = {{t.top + "/tree/to-folder.exe", "unable to open file"}};
#ifndef _WIN32
    ASSERT_TRUE(testsupport::MakeDir(t.top + "/beside"));
    AddClean(t, "/beside/target.exe");
    ASSERT_EQ(0, chmod((t.top + "/beside/target.exe").c_str(), 0444));
    program("/tree/to-fifo.exe", samples::CleanPe);
    program("/tree/to-link.exe", samples::InfectedEntry2);
    const std::string target = t.top + "/beside/target.exe";
    t.during[t.top + "/tree/to-fifo.exe"] = [](const std::string &p) {
        std::remove(p.c_str());
        mkfifo(p.c_str(), 0644);
    };
    t.during[t.top + "/tree/to-link.exe"] = [target](const std::string &p) {
        std::remove(p.c_str());
        symlink(target.c_str(), p.c_str());
    };
    t.rows.push_back({t.top + "/tree/to-fifo.exe", "unable to open file"});
    t.rows.push_back({t.top + "/tree/to-link.exe", "unable to open file"});
#endif
}

// One clean file under three names (one beside the tree), one infected file under two: every
// name in the tree is scanned as the file it is; the clean file keeps its bytes under all
// three, the infected one loses both names. On POSIX a file with two names is never written
// (nor its mode changed) nor copied to be cleaned: the name listed first is removed, and its row
// says the file lives on under the other; the other, alone by then, goes as any file.
void HardLinks(Tree &t)
{
    ASSERT_TRUE(testsupport::MakeDir(t.top + "/beside"));
    AddClean(t, "/beside/clean.exe");
    WriteSample(t.top + "/tree/worm.exe", samples::InfectedEntry1);
    const std::pair<const char *, const char *> links[] = {{"/beside/clean.exe", "/tree/clean-1.exe"},
                                                           {"/beside/clean.exe", "/tree/clean-2.exe"},
                                                           {"/tree/worm.exe", "/tree/worm-2.exe"}};
    for (const auto &names : links) {
        const std::string from = t.top + names.first, to = t.top + names.second;
#ifdef _WIN32
        ASSERT_TRUE(CreateHardLinkA(to.c_str(), from.c_str(), NULL)) << GetLastError();
#else
        ASSERT_EQ(0, link(from.c_str(), to.c_str()));
#endif
    }
    std::string first;
#ifndef _WIN32
    DIR *folder = opendir((t.top + "/tree").c_str());
    ASSERT_NE(nullptr, folder);
    while (const dirent *entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "worm.exe" || name == "worm-2.exe") {
            first = t.top + "/tree/" + name;
            break;
        }
    }
    closedir(folder);
#endif
    for (const char *name : {"/tree/worm.exe", "/tree/worm-2.exe"}) {
        t.gone.insert(name);
        t.rows.push_back({t.top + name, InfectedRow});
        // The first name goes while the other still holds the file: not called deleted.
        const char *remains = "unable to clean: this name deleted, the file remains under other names";
        t.rows.push_back({t.top + name, t.top + name == first ? remains : "deleted"});
    }
    t.files = 4;
}

#ifndef _WIN32
// A FIFO, a socket and a device node under program names: refused before any open (none may
// block the scan or be read), each reported as a program that cannot be opened.
void SpecialFiles(Tree &t)
{
    const std::string fifo = "/tree/pipe.exe", socketName = "/tree/sock.exe", device = "/tree/null.exe";
    ASSERT_EQ(0, mkfifo((t.top + fifo).c_str(), 0644));
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = t.top + socketName;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(0, bind(sock, (sockaddr *)&address, sizeof address));
    close(sock);
    t.rows = {{t.top + fifo, "unable to open file"}, {t.top + socketName, "unable to open file"}};
    if (mknod((t.top + device).c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)   // as /dev/null
        t.rows.push_back({t.top + device, "unable to open file"});
    AddClean(t, "/tree/clean.exe");
}
#endif

// 200,000 empty files in one folder (5,000 under Wine, where each file costs far more): all
// scanned, no row, and natively the heap as flat at the end as at the start.
#ifdef _WIN32
const int ManyFiles = 5000;
#else
const int ManyFiles = 200000;
#endif
void ManyEmptyFiles(Tree &t)
{
    char name[32];
    for (int i = 0; i < ManyFiles; i++) {
        std::snprintf(name, sizeof name, "/tree/e%06d.exe", i);
#ifdef _WIN32
        HANDLE file = CreateFileA((t.top + name).c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << name;
        CloseHandle(file);
#else
        int fd = open((t.top + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name;
        close(fd);
#endif
    }
    t.files = ManyFiles;
}

// Programs whose headers point anywhere: past the bytes read, past the end of the file, past
// 4 GiB, at a section table too long for any block. On POSIX the scan reads them through
// read-ahead that never rests, whose guess at the first section's place reads the same
// headers: nothing may be read outside a buffer (AddressSanitizer builds tell), each is scanned
// and left as it is, and none gives a row.
void WildHeaders(Tree &t)
{
    struct Header {
        const char *name;
        size_t size;
        uint32_t newHeader, sections, optional, raw;
    };
    const uint32_t beyond = 0xFFFFF000u;
    const Header headers[] = {
        {"short", 63, 0, 0, 0, 0},
        {"signature-at-the-end", 8192, 8192 - 24, 1, 0, 0},
        {"signature-past-the-end", 8192, 8192 - 23, 1, 0, 0},
        {"signature-across-the-end", 8192, 8192 - 2, 1, 0, 0},
        {"signature-past-4gib", 8192, 0xFFFFFFF0u, 1, 0, 0},
        {"optional-header-of-64kib", 65536, 64, 1, 0xFFFF, 0},
        {"section-table-at-the-end", 8192, 8192 - 24 - 224 - 40, 1, 224, 0x3000},
        {"no-section", 20000, 64, 0, 224, 0x3000},
        {"section-past-the-end", 20000, 64, 1, 224, beyond},
        {"section-at-the-last-byte", 20000, 64, 1, 224, 19999},
        {"section-at-4gib", 20000, 64, 1, 224, 0xFFFFFC00u},
    };
    auto put16 = [](std::vector<uint8_t> &b, size_t at, uint32_t v) {
        if (at + 2 <= b.size()) { b[at] = (uint8_t)v; b[at + 1] = (uint8_t)(v >> 8); }
    };
    auto put32 = [&](std::vector<uint8_t> &b, size_t at, uint32_t v) {
        put16(b, at, v & 0xFFFF);
        put16(b, at + 2, v >> 16);
    };
    for (int copy = 0; copy < 4; copy++) {   // enough files for read-ahead to fetch some early
        const std::string folder = "/tree/f" + std::to_string(copy);
        ASSERT_TRUE(testsupport::MakeDir(t.top + folder));
        for (const Header &h : headers) {
            std::vector<uint8_t> b(h.size, 0x90);
            b[0] = 'M';
            b[1] = 'Z';
            put32(b, 60, h.newHeader);
            if ((uint64_t)h.newHeader + 4 <= b.size())
                std::memcpy(&b[h.newHeader], "PE\0\0", 4);
            put16(b, (size_t)h.newHeader + 6, h.sections);
            put16(b, (size_t)h.newHeader + 20, h.optional);
            put32(b, (size_t)h.newHeader + 24 + h.optional + 20, h.raw);
            ASSERT_TRUE(testsupport::WriteBytes(t.top + folder + "/" + h.name + ".exe", b));
        }
        for (int i = 0; i < 40; i++)
            AddClean(t, folder + "/c" + std::to_string(i) + ".exe");
    }
    t.files = 4 * (int)(sizeof headers / sizeof headers[0] + 40);
#ifndef _WIN32
    t.beforeScan = [] { PosixSetReadAhead(ReadAheadAlways); };
    t.afterScan = [] { PosixSetReadAhead(ReadAheadOn); };
#endif
}

// Another run of the scanner on the same tree gets to a file between this run's reading of it
// and its change: the file detected is gone by then. Each such file is "already removed" and
// nothing is unable to clean. The other run strikes beneath the rules, at the raw call: as
// first.exe is opened for writing, and as late.exe is moved aside (POSIX) or opened for its
// deletion (Windows).
#ifdef _WIN32
bool EndsWith(const char *text, const char *tail)
{
    size_t n = std::strlen(text), m = std::strlen(tail);
    return n >= m && !std::strcmp(text + n - m, tail);
}
void *RemovedBeforeOpen(const char *path, unsigned long access, unsigned long share,
                        void *security, unsigned long disposition, unsigned long flags,
                        void *templateFile)
{
    if ((EndsWith(path, "\\first.exe") && (access & GENERIC_WRITE)) ||
        (EndsWith(path, "\\late.exe") && (access & DELETE)))
        DeleteFileA(path);
    return WinSysDefaults.createFileA(path, access, share, security, disposition, flags,
                                      templateFile);
}
#else
int RemovedBeforeOpen(int folder, const char *name, int flags, mode_t mode)
{
    if (!std::strcmp(name, "first.exe") && (flags & O_ACCMODE) == O_RDWR)
        unlinkat(folder, name, 0);
    return PosixSysDefaults.openat(folder, name, flags, mode);
}
int RemovedBeforeRename(int fromFolder, const char *from, int toFolder, const char *to,
                        unsigned flags)
{
    if (!std::strcmp(from, "late.exe"))
        unlinkat(fromFolder, from, 0);
    return PosixSysDefaults.renameat2(fromFolder, from, toFolder, to, flags);
}
#endif

void AnotherRunGetsThereFirst(Tree &t)
{
    for (const char *name : {"/tree/first.exe", "/tree/late.exe"}) {
        WriteSample(t.top + name, samples::InfectedEntry1);
        t.gone.insert(name);
        t.rows.push_back({t.top + name, InfectedRow});
        t.rows.push_back({t.top + name, "already removed"});
    }
    AddInfected(t, "/tree/mine.exe", samples::InfectedEntry2);
    t.beforeScan = [] {
#ifdef _WIN32
        WinSys.createFileA = RemovedBeforeOpen;
#else
        PosixSys.openat = RemovedBeforeOpen;
        PosixSys.renameat2 = RemovedBeforeRename;
#endif
    };
    t.afterScan = [] {
#ifdef _WIN32
        WinSys = WinSysDefaults;
#else
        PosixSys = PosixSysDefaults;
#endif
    };
}

#ifndef _WIN32
// Names of the shape another run gives a file it is deleting. Only where that run is this very
// program of this very user, still running, is the file left to it, with no row; a name made
// after any other process (one that runs another program, one that has ended: a killed run's
// leftover) hides nothing, and the worm under it is found and deleted.
pid_t sameProgram, otherProgram;
void AsideNamesOfRuns(Tree &t)
{
    pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    ASSERT_GT(ended, 0);
    waitpid(ended, nullptr, 0);
    sameProgram = fork();
    if (sameProgram == 0)
        for (;;)
            pause();
    otherProgram = fork();
    if (otherProgram == 0) {
        execlp("sleep", "sleep", "300", (char *)nullptr);
        _exit(127);
    }
    ASSERT_GT(sameProgram, 0);
    ASSERT_GT(otherProgram, 0);
    usleep(100000);   // the exec done
    auto aside = [](pid_t pid) { return "/tree/.krv." + std::to_string(pid) + ".0123456789abcdef.del"; };
    WriteSample(t.top + aside(sameProgram), samples::InfectedEntry1);
    AddInfected(t, aside(otherProgram));
    AddInfected(t, aside(ended), samples::InfectedEntry2);
    AddInfected(t, "/tree/.krv.1.0123456789abcdef.del");
    AddInfected(t, "/tree/.krv." + std::to_string(getpid()) + ".xyz.del");
    t.files = 4;
    t.cleanup = [] {
        kill(sameProgram, SIGKILL);
        kill(otherProgram, SIGKILL);
        waitpid(sameProgram, nullptr, 0);
        waitpid(otherProgram, nullptr, 0);
    };
}
#endif

struct Case {
    const char *name;
    void (*build)(Tree &);
};

const Case Cases[] = {
    {"DeepNestingPastEveryPathLimit", DeepTree},
    {"LongestNames", LongNames},
    {"OddNames", OddNames},
    {"UnreadableFilesAndFolders", Unreadable},
    {"FilesChangingDuringTheScan", ChangingFiles},
    {"HardLinks", HardLinks},
#ifndef _WIN32
    {"FifosSocketsAndDevices", SpecialFiles},
    {"AsideNamesOfRuns", AsideNamesOfRuns},
#endif
    {"FolderOfManyEmptyFiles", ManyEmptyFiles},
    {"ProgramHeadersPointingAnywhere", WildHeaders},
    {"AnotherRunGetsThereFirst", AnotherRunGetsThereFirst},
};

// ---- running a case --------------------------------------------------------------------------

Tree *current;
PlatformOps real;
size_t opens, heapStart, heapPeak;

size_t HeapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return 0;
#endif
}

// The worst moment for a change: the file has been listed, and is about to be opened.
FileHandle OpenAfterChange(const char *path, int write)
{
    auto action = current->during.find(path);
    if (!write && action != current->during.end()) {
        auto run = action->second;
        current->during.erase(action);
        run(path);
    }
    if (++opens % 1024 == 0)
        heapPeak = std::max(heapPeak, HeapInUse());
    return real.files.openFile(path, write);
}

struct Outcome {
    std::vector<Row> rows;
    int32_t files = 0;
};

Outcome ScanInProcess(const std::string &folder)
{
    testsupport::RecordingDisplay display;
    PlatformRestore();
    real = Platform;
    Platform.files.openFile = OpenAfterChange;
    opens = 0;
    heapStart = heapPeak = HeapInUse();
    auto scan = std::async(std::launch::async, [&] { ScanSelectedFolder(folder.c_str()); });
    if (scan.wait_for(std::chrono::seconds(ScanSeconds)) != std::future_status::ready) {
        std::fprintf(stderr, "the scan of %s has hung\n", folder.c_str());
        std::fflush(stderr);
        std::_Exit(3);   // the hung thread cannot be ended otherwise
    }
    PlatformRestore();
    return {display.rows, ScanCounters.files};
}

#ifndef _WIN32
// As nobody, in a child process whose rows come back through a pipe, one per line with the
// file's bytes escaped; the child is ended (it is ours) when it outlives the limit.
Outcome ScanAsNobody(const std::string &folder)
{
    int rows[2];
    EXPECT_EQ(0, pipe(rows));
    pid_t child = fork();
    if (child == 0) {
        close(rows[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        Outcome outcome = ScanInProcess(folder);
        std::string text = std::to_string(outcome.files) + "\n";
        for (const Row &row : outcome.rows)
            text += row.file + '\t' + row.status + '\n';
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(rows[1], text.data() + done, text.size() - done);
            if (n <= 0)
                _exit(2);
            done += (size_t)n;
        }
        _exit(0);
    }
    close(rows[1]);
    std::string text;
    char buffer[4096];
    pollfd wait = {rows[0], POLLIN, 0};
    while (poll(&wait, 1, ScanSeconds * 1000) > 0) {
        ssize_t got = read(rows[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, (size_t)got);
    }
    close(rows[0]);
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the scan as nobody failed";
    Outcome outcome;
    size_t line = text.find('\n');
    if (line == std::string::npos)
        return outcome;
    outcome.files = std::atoi(text.c_str());
    for (size_t at = line + 1; at < text.size();) {
        size_t tab = text.find('\t', at), end = text.find('\n', tab);
        if (tab == std::string::npos || end == std::string::npos)
            break;
        outcome.rows.push_back({text.substr(at, tab - at), text.substr(tab + 1, end - tab - 1)});
        at = end + 1;
    }
    return outcome;
}
#endif

class Hostile : public ::testing::TestWithParam<Case> {
protected:
    testsupport::ScratchDir scratch;
};

TEST_P(Hostile, CleanFilesStayAsTheyWereAndTheScanEnds)
{
    Tree t;
    t.top = scratch.file(GetParam().name);
    t.scanned = t.top + Sep + "tree";
    ASSERT_TRUE(testsupport::MakeDir(t.scanned));
    // The cases write paths with '/', which both systems take; the scan answers in its own.
    GetParam().build(t);
    if (HasFatalFailure())
        return;
    auto native = [](std::string path) {
        std::replace(path.begin(), path.end(), '/', PathSeparator);
        return path;
    };
    for (Row &row : t.rows)
        row.file = native(row.file);
    std::set<std::string> gone, changed;
    for (const std::string &path : t.gone)
        gone.insert(native(path));
    for (const std::string &path : t.changedByCase)
        changed.insert(native(path));
    std::map<std::string, std::function<void(const std::string &)>> during;
    for (auto &action : t.during)
        during[native(action.first)] = action.second;
    t.during = during;

    const Snapshot before = TakeSnapshot(t.top);
    if (t.beforeScan)
        t.beforeScan();
    current = &t;
    heapStart = heapPeak = 0;   // a scan in a child process samples nothing here
#ifdef _WIN32
    Outcome outcome = ScanInProcess(t.scanned);
#else
    Outcome outcome = t.scanAsNobody ? ScanAsNobody(t.scanned) : ScanInProcess(t.scanned);
#endif
    if (t.afterScan)
        t.afterScan();
    const Snapshot after = TakeSnapshot(t.top);

    // Every entry that was not infected nor changed by the case is as it was; nothing is new.
    size_t unchanged = 0;
    for (const auto &entry : before) {
        if (gone.count(entry.first) || changed.count(entry.first))
            continue;
        auto now = after.find(entry.first);
        if (now == after.end())
            ADD_FAILURE() << "gone: " << entry.first;
        else if (!(now->second == entry.second))
            ADD_FAILURE() << "changed: " << entry.first;
        else
            unchanged++;
    }
    for (const std::string &relative : gone)
        EXPECT_EQ(0u, after.count(relative)) << "not deleted: " << relative;
    for (const auto &entry : after) {
        EXPECT_EQ(std::string::npos, entry.first.find(".qx-")) << "a copy left: " << entry.first;
        EXPECT_TRUE(before.count(entry.first) || changed.count(entry.first)) << "new: " << entry.first;
    }

    // The rows the case asks for, in any order, and no others.
    std::vector<Row> expected = t.rows, got = outcome.rows;
    auto byFile = [](const Row &a, const Row &b) { return a.file < b.file || (a.file == b.file && a.status < b.status); };
    std::sort(expected.begin(), expected.end(), byFile);
    std::sort(got.begin(), got.end(), byFile);
    EXPECT_EQ(expected, got);
    if (t.files >= 0) {
        EXPECT_EQ(t.files, outcome.files);
    }
    // Sampled every 1,024 opens (AddressSanitizer builds only): a block per file kept would
    // show as megabytes in the case of 200,000 files.
    size_t growth = heapPeak > heapStart ? heapPeak - heapStart : 0;
    EXPECT_LT(growth, 1u << 20) << "the heap grew with the number of files";
    if (t.cleanup)
        t.cleanup();
    std::printf("%s: %zu entries checked unchanged, %zu rows, %d files scanned, heap +%zu bytes\n",
                GetParam().name, unchanged, outcome.rows.size(), outcome.files, growth);
}

INSTANTIATE_TEST_SUITE_P(Trees, Hostile, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
