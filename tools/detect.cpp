// detect PATH...: prints "<path>: <verdict>" for every file named, and for every file directly
// inside every folder named. Only detects: nothing is changed on disk.
#include "engine/signature.h"
#include "base/text.h"
#include "scan/scanstate.h"

#include <cstdio>
#include <cstring>

static char Path[ScanPathSize];

/* Opens, detects and closes one file; prints its line. Answers the verdict, or -1 when the
** file cannot be opened. */
static int DetectOne(const char *path)
{
    FileHandle file = FileOpen(path, 0);
    if (file == InvalidFileHandle) {
        std::printf("%s: cannot open\n", path);
        return -1;
    }
    const char *const *matched = 0;
    ScanContext context = {path, matched, file};
    int32_t verdict = DetectFile(&context);
    FileClose(file);
    if (verdict == ScanVerdict::Infected)
        std::printf("%s: infected: %s\n", path, *context.matchedName);
    else
        std::printf("%s: clean\n", path);
    return verdict;
}

/* Every regular entry of `folder`, in the platform's order; sub-folders are not entered. */
static int DetectFolder(const char *folder)
{
    char pattern[ScanPathSize];
    char separator[2] = {PathSeparator, 0};
    size_t length = std::strlen(folder);
    int trailing = length > 0 && folder[length - 1] == PathSeparator;
    if (!CopyText(pattern, sizeof pattern, folder) ||
        (!trailing && !AppendText(pattern, sizeof pattern, separator)) ||
        !AppendText(pattern, sizeof pattern, "*.*")) {
        std::printf("%s: path too long\n", folder);
        return 0;
    }
    FindRecord record;
    FindHandle find = Platform.files.findFirst(pattern, &record);
    if (find == InvalidFindHandle) {
        std::printf("%s: cannot list\n", folder);
        return 0;
    }
    int infected = 0;
    do {
        if (record.attributes & AttrDirectory)
            continue;
        if (!CopyText(Path, sizeof Path, folder) ||
            (!trailing && !AppendText(Path, sizeof Path, separator)) ||
            !AppendText(Path, sizeof Path, record.name)) {
            std::printf("%s%s%s: path too long\n", folder, separator, record.name);
            continue;
        }
        if (DetectOne(Path) == ScanVerdict::Infected)
            infected++;
    } while (Platform.files.findNext(find, &record));
    Platform.files.findClose(find);
    return infected;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: detect FILE-OR-FOLDER...\n");
        return 2;
    }
    int infected = 0;
    for (int i = 1; i < argc; i++) {
        uint32_t attributes = Platform.files.getFileAttributes(argv[i]);
        if (attributes != InvalidFileAttributes && (attributes & AttrDirectory))
            infected += DetectFolder(argv[i]);
        else if (DetectOne(argv[i]) == ScanVerdict::Infected)
            infected++;
    }
    /* 1 when anything was infected, like a scanner's exit status. */
    return infected ? 1 : 0;
}
