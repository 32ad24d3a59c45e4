#include "tests/support/testsupport.h"

#include "disinfect/workflow.h"
#include "engine/signature.h"
#include "platform/platform.h"
#include "platform/platform_hooks.h"
#include "scan/display.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#ifdef _WIN32
#include <algorithm>
#include <cstring>
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace testsupport {

static std::atomic<unsigned> scratchCounter{0};

std::string Join(const std::string &folder, const std::string &name)
{
    std::string out = folder;
    if (!out.empty() && out.back() != PathSeparator)
        out += PathSeparator;
    return out + name;
}

ScratchDir::ScratchDir()
{
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    for (;;) {
        fs::path p = base / ("krvtest-" + std::to_string((unsigned long)std::rand()) + "-" +
                             std::to_string(scratchCounter++));
        if (fs::create_directory(p, ec)) {
            path_ = p.string();
            break;
        }
    }
}

ScratchDir::~ScratchDir() { RemoveAll(path_); }

std::string ScratchDir::file(const std::string &name) const { return Join(path_, name); }

bool WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    return (bool)out;
}

bool WriteText(const std::string &path, const std::string &text)
{
    return WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Exists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool MakeDir(const std::string &path)
{
    std::error_code ec;
    return fs::create_directories(path, ec) || fs::is_directory(path, ec);
}

void RemoveAll(const std::string &path)
{
    std::error_code ec;
    if (path.empty())
        return;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

std::vector<Row> ExpectedReport(const std::vector<std::string> &values)
{
    std::vector<Row> rows = {{ReportTitle, ""}};
    for (size_t i = 0; i < ReportRowCount; i++)
        rows.push_back({ReportRows[i].label, i < values.size() ? values[i] : std::string("<missing>")});
    return rows;
}

std::string InfectedStatus()
{
    return std::string(StatusInfected) + DetectionName;
}

/* The display that records; one at a time. */
static RecordingDisplay *recorder;

static void RecAddRow(const ResultRow *row)
{
    recorder->rows.push_back({row->file, row->status});
    recorder->kinds.push_back({row->kind, row->ofCopy});
}
static void RecTarget(const char *text) { recorder->targets.push_back(text); }
static void RecControl(int id, int enabled) { recorder->controls.push_back({id, enabled}); }
static void RecCaption(const char *caption) { recorder->captions.push_back(caption); }
static void RecWarn(const char *text, const char *) { recorder->warnings.push_back(text); }
static void RecNotice(const char *path, const char *what)
{
    recorder->notices.push_back(std::string(path) + ": " + what);
}

static const DisplayOps recordingOps = {RecAddRow, RecTarget, RecControl, RecCaption, RecWarn,
                                        nullptr,   nullptr,   nullptr,    RecNotice};

RecordingDisplay::RecordingDisplay()
{
    recorder = this;
    Display = &recordingOps;
}

RecordingDisplay::~RecordingDisplay()
{
    Display = nullptr;
    recorder = nullptr;
}

void RecordingDisplay::clear()
{
    rows.clear();
    kinds.clear();
    targets.clear();
    captions.clear();
    warnings.clear();
    controls.clear();
    notices.clear();
}

#ifdef _WIN32
namespace {
bool foldersOurs;
std::vector<uint64_t> foldersOfUsers;

int VolumeWithLinks(const char *root, unsigned long *flags)
{
    (void)root;
    *flags = FILE_PERSISTENT_ACLS | FILE_SUPPORTS_REPARSE_POINTS | FILE_CASE_PRESERVED_NAMES;
    return 1;
}

uint64_t IndexOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return 0;
    return ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
}

// A self-relative descriptor: owned by the administrators (or a user), every right to the
// administrators and the system.
long FolderSecurity(void *handle, unsigned long information, void *out, unsigned long size,
                    unsigned long *needed)
{
    (void)information;
    bool ours = foldersOurs && std::find(foldersOfUsers.begin(), foldersOfUsers.end(),
                                         IndexOf((HANDLE)handle)) == foldersOfUsers.end();
    const std::vector<uint8_t> admins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    const std::vector<uint8_t> system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const std::vector<uint8_t> user = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0,
                                       2, 0, 0, 0, 3, 0, 0, 0, 0xE8, 3, 0, 0};
    const std::vector<uint8_t> &owner = ours ? admins : user;
    std::vector<uint8_t> d = {1, 0, 0x04, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    d.insert(d.end(), owner.begin(), owner.end());
    d[16] = (uint8_t)d.size();
    size_t acl = d.size();
    d.insert(d.end(), {2, 0, 0, 0, 2, 0, 0, 0});
    for (const std::vector<uint8_t> *sid : {&admins, &system}) {
        uint8_t aceSize = (uint8_t)(8 + sid->size());
        d.insert(d.end(), {0, 3, aceSize, 0, 0xFF, 0x01, 0x1F, 0x00});
        d.insert(d.end(), sid->begin(), sid->end());
    }
    d[acl + 2] = (uint8_t)(d.size() - acl);
    *needed = (unsigned long)d.size();
    if (d.size() > size)
        return (long)0xC0000023L;   // STATUS_BUFFER_TOO_SMALL
    std::memcpy(out, d.data(), d.size());
    return 0;
}
}  // namespace

void PlayVolumeWithLinks(bool ours, const std::vector<uint64_t> &usersFolders)
{
    foldersOurs = ours;
    foldersOfUsers = usersFolders;
    WinSys.getVolumeInformationA = VolumeWithLinks;
    WinSys.ntQuerySecurityObject = FolderSecurity;
}

uint64_t FileIndex(const std::string &path)
{
    HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    uint64_t index = IndexOf(handle);
    CloseHandle(handle);
    return index;
}
#endif

}  // namespace testsupport
