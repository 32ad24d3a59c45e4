/*
** Small helpers shared by the test programs: scratch folders, whole-file I/O with the build's
** path separator, and a display that records what the core shows.
*/
#ifndef KRV_TESTSUPPORT_H
#define KRV_TESTSUPPORT_H

#include <stdint.h>
#include <string>
#include <vector>

namespace testsupport {

/* A fresh empty folder below the system's temporary folder, removed with its contents by the
** destructor. path() has no trailing separator. */
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string &path() const { return path_; }
    /* path() + separator + name */
    std::string file(const std::string &name) const;
private:
    std::string path_;
};

/* Joins with the build's separator ('\\' on Windows, '/' on POSIX). */
std::string Join(const std::string &folder, const std::string &name);

bool WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes);
bool WriteText(const std::string &path, const std::string &text);
std::vector<uint8_t> ReadBytes(const std::string &path);   /* empty when unreadable */
bool Exists(const std::string &path);
bool MakeDir(const std::string &path);
/* Removes a file or a whole folder tree; attributes such as read-only do not stop it. */
void RemoveAll(const std::string &path);

/* The status of a row for a file infected with the worm. */
std::string InfectedStatus();

/* One row as the core showed it. */
struct Row {
    std::string file, status;
    bool operator==(const Row &o) const { return file == o.file && status == o.status; }
};

/* The eleven rows every report must be: "Scan report" with an empty status, then the ten
** labels in order with `values` (ten texts) as their statuses. */
std::vector<Row> ExpectedReport(const std::vector<std::string> &values);

/* Installs itself as the core's Display while alive and records every call. */
class RecordingDisplay {
public:
    RecordingDisplay();
    ~RecordingDisplay();
    std::vector<Row> rows;
    std::vector<std::pair<int, int>> kinds;   /* each row's (kind, ofCopy), beside `rows` */
    std::vector<std::string> targets;      /* every setTargetText */
    std::vector<std::string> captions;     /* every setScanCaption */
    std::vector<std::string> warnings;     /* every warnRestart text */
    std::vector<std::pair<int, int>> controls;   /* (id, enabled) in call order */
    std::vector<std::string> notices;      /* every notice, as "path: what" */
    void clear();
};

#ifdef _WIN32
/* Beneath the rules (WinSys), a volume where links can exist: local, with rights and reparse
** points, which Wine does not report. Its folders carry the rights this program gives a restart
** folder (`ours`), or those of the user who made them, as Wine reports every folder; folders
** whose identity is in `usersFolders` (file indexes) are the user's whatever `ours` says.
** WinSys = WinSysDefaults undoes it. */
void PlayVolumeWithLinks(bool ours, const std::vector<uint64_t> &usersFolders = {});

/* The file index of the folder or file at `path`; 0 when it cannot be opened. */
uint64_t FileIndex(const std::string &path);
#endif

}  // namespace testsupport

#endif
