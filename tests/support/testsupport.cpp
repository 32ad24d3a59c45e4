#include "tests/support/testsupport.h"

#include "disinfect/workflow.h"
#include "engine/signature.h"
#include "platform/platform.h"
#include "scan/display.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

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

static const DisplayOps recordingOps = {RecAddRow, RecTarget, RecControl, RecCaption, RecWarn, nullptr, nullptr, nullptr, nullptr};

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
}

}  // namespace testsupport
