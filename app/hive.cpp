/*
** The offline Run key, through hivex.
**
** The disk is not to be trusted: anyone who could write there may have put links, FIFOs or a
** crafted hive in the way, and may rename things while the scan runs. So the config folder is
** reached one opened folder at a time without following a link, every later step acts through
** that folder's descriptor, the hive is opened non-blocking and checked to be a regular file
** before a byte is read, and the new hive is a file this process created exclusively.
**
** hivex has no call that deletes one value: the key's values are set anew without it, and
** hivex_commit writes a whole new file. It parses what the disk holds, and a crafted hive can
** make it abort, so it runs in a child process and reads and writes only through descriptors
** opened here (by their /proc/self/fd names). The child answers on a pipe; a child that dies
** is an error naming the hive, not the end of the scan's process.
**
** hivex is loaded when --windows-root asks for it, not when the program starts: a rescue system
** without it can still run every other scan.
**
** The new hive gets the old one's mode and owner; the old one is kept beside it as
** <hive>.krvbak (or .krvbak2, .krvbak3 ... when that name is taken), then the new one takes
** the hive's name in one rename.
**
** Two runs on one disk: the config folder is locked (flock) from before the hive is opened to
** after it was replaced, so the second run reads what the first one left; the new hive's name
** is this run's own (<hive>.krvnew.<process>), made exclusively, and nothing at another name
** is removed. Owners mean nothing on such a disk (ntfs-3g shows every file as root's, 0777):
** the held folder, exclusive creation, the identity checks and the lock do the work.
*/
#include "app/hive.h"

#include "base/text.h"
#include "scan/scanstate.h"
#include "startup/runkey.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define HivePathSize 4096
#define NameSize 256

static const char *const ConfigParts[] = {"Windows", "System32", "config"};
static const char HiveName[] = "SOFTWARE";
static const char *const RunKeyParts[] = {"Microsoft", "Windows", "CurrentVersion", "Run"};
static const char RunKeyText[] = "Microsoft\\Windows\\CurrentVersion\\Run\\";

/* What the child answers on its pipe: one of these bytes, then the value's name or the
** cause of the error. */
enum { AnswerNone = '0', AnswerFound = '1', AnswerError = 'E' };

static int Fail(char *error, size_t errorSize, const char *what, const char *path, int code)
{
    if (code)
        snprintf(error, errorSize, "%s: %s (%s)", path, what, strerror(code));
    else
        snprintf(error, errorSize, "%s: %s", path, what);
    return -1;
}

/* ---- hivex, loaded at run time -------------------------------------------------------------- */

#define HivexLibrary "libhivex.so.0"

static struct {
    decltype(&hivex_open) open;
    decltype(&hivex_close) close;
    decltype(&hivex_root) root;
    decltype(&hivex_node_get_child) nodeGetChild;
    decltype(&hivex_node_values) nodeValues;
    decltype(&hivex_value_key) valueKey;
    decltype(&hivex_value_value) valueValue;
    decltype(&hivex_node_set_values) nodeSetValues;
    decltype(&hivex_commit) commit;
} Hivex;

/* Loads hivex and fills Hivex. Answers 0, or -1 with `error` set. */
static int LoadHivex(char *error, size_t errorSize)
{
    static const struct {
        const char *name;
        void *slot;
    } symbols[] = {
        {"hivex_open", &Hivex.open},
        {"hivex_close", &Hivex.close},
        {"hivex_root", &Hivex.root},
        {"hivex_node_get_child", &Hivex.nodeGetChild},
        {"hivex_node_values", &Hivex.nodeValues},
        {"hivex_value_key", &Hivex.valueKey},
        {"hivex_value_value", &Hivex.valueValue},
        {"hivex_node_set_values", &Hivex.nodeSetValues},
        {"hivex_commit", &Hivex.commit},
    };
    void *library = dlopen(HivexLibrary, RTLD_NOW | RTLD_LOCAL);
    for (size_t i = 0; library && i < sizeof symbols / sizeof symbols[0]; i++) {
        void *function = dlsym(library, symbols[i].name);
        if (!function)
            library = NULL;
        memcpy(symbols[i].slot, &function, sizeof function);
    }
    if (!library) {
        const char *cause = dlerror();
        snprintf(error, errorSize,
                 "--windows-root: the registry library " HivexLibrary " cannot be loaded "
                 "(install the package libhivex0): %s", cause ? cause : "");
        return -1;
    }
    return 0;
}

/* Finds in the open folder `folder` the entry whose name is `part` in any letter case and puts
** its name into `name`. Answers 0, or an errno value: EEXIST when a second entry has that name
** in another letter case (put into `other`); Windows would see one of them, and which one is not
** for us to guess. */
static int FindEntry(int folder, const char *part, char *name, char *other)
{
    int copy = dup(folder);
    DIR *list = copy >= 0 ? fdopendir(copy) : NULL;
    if (!list) {
        int code = errno;
        if (copy >= 0)
            close(copy);
        return code;
    }
    int code = ENOENT;
    for (struct dirent *entry; code != EEXIST && (entry = readdir(list)) != NULL;) {
        if (strcasecmp(entry->d_name, part) != 0)
            continue;
        if (!CopyText(code ? name : other, NameSize, entry->d_name))
            code = ENAMETOOLONG;
        else
            code = code ? 0 : EEXIST;
    }
    closedir(list);
    return code;
}

/* The error for the folder `path` that holds both `name` and `other`. */
static int FailTwoSpellings(char *error, size_t errorSize, const char *path, const char *name,
                            const char *other)
{
    snprintf(error, errorSize, "%s: both %s and %s are there: not examined, which one Windows "
             "uses is not clear", path, name, other);
    return -1;
}

/* Opens <root>/Windows/System32/config (each part in any letter case, no part a link) and
** puts its path into `path`. Answers the descriptor, or -1 with `error` set. */
static int OpenConfigFolder(const char *root, char *path, char *error, size_t errorSize)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    int folder = open(root, flags);
    if (folder < 0 || !CopyText(path, HivePathSize, root)) {
        int code = errno;
        if (folder >= 0)
            close(folder);
        return Fail(error, errorSize, "cannot open the folder", root, folder < 0 ? code : 0);
    }
    for (const char *part : ConfigParts) {
        char name[NameSize], other[NameSize];
        int code = FindEntry(folder, part, name, other);
        if (code == EEXIST) {
            close(folder);
            return FailTwoSpellings(error, errorSize, path, name, other);
        }
        int next = code ? -1 : openat(folder, name, flags | O_NOFOLLOW);
        close(folder);
        if (next < 0 || !AppendText(path, HivePathSize, "/") ||
            !AppendText(path, HivePathSize, name)) {
            if (next >= 0)
                close(next);
            return Fail(error, errorSize, "no Windows/System32/config/SOFTWARE hive", root, 0);
        }
        folder = next;
    }
    return folder;
}

/* ---- the child: hivex ------------------------------------------------------------------- */

/* The Run key's node, or 0 when the hive has no such key. */
static hive_node_h RunKey(hive_h *hive)
{
    hive_node_h node = Hivex.root(hive);
    for (const char *part : RunKeyParts) {
        if (!node)
            return 0;
        node = Hivex.nodeGetChild(hive, node, part);
    }
    return node;
}

/* Sets the key's values to all but `skip`; 0 when a value cannot be read or the key set. */
static int SetAllBut(hive_h *hive, hive_node_h key, hive_value_h *values, size_t count, size_t skip)
{
    hive_set_value *kept = (hive_set_value *)calloc(count ? count : 1, sizeof *kept);
    size_t n = 0;
    int ok = kept != NULL;
    for (size_t i = 0; ok && i < count; i++) {
        if (i == skip)
            continue;
        kept[n].key = Hivex.valueKey(hive, values[i]);
        kept[n].value = Hivex.valueValue(hive, values[i], &kept[n].t, &kept[n].len);
        ok = kept[n].key && kept[n].value;
        n++;
    }
    ok = ok && Hivex.nodeSetValues(hive, key, n, kept, 0) == 0;
    for (size_t i = 0; kept && i < n; i++) {
        free(kept[i].key);
        free(kept[i].value);
    }
    free(kept);
    return ok;
}

/* Writes the answer `kind` with `text` to `answer`, whole or not at all as far as the reader
** can tell (it reads until the end). */
static void Answer(int answer, char kind, const char *text)
{
    char buffer[NameSize + 128];
    buffer[0] = kind;
    CopyText(buffer + 1, sizeof buffer - 1, text);
    size_t length = strlen(buffer), done = 0;
    while (done < length) {
        ssize_t n = write(answer, buffer + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t)n;
    }
}

/* The child's work: looks for the worm's value in the hive open at `hive` and, when `fresh`
** is an open file, writes the hive without that value to it. */
static int ChildWork(int hiveFile, int fresh, int answer)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/self/fd/%d", hiveFile);
    hive_h *hive = Hivex.open(name, fresh >= 0 ? HIVEX_OPEN_WRITE : 0);
    if (!hive) {
        char cause[128];
        snprintf(cause, sizeof cause, "cannot open the registry hive (%s)", strerror(errno));
        Answer(answer, AnswerError, cause);
        return 0;
    }
    hive_node_h key = RunKey(hive);
    hive_value_h *values = key ? Hivex.nodeValues(hive, key) : NULL;
    size_t count = 0;
    while (values && values[count])
        count++;
    char kind = AnswerNone;
    char text[NameSize + 128] = "";
    for (size_t i = 0; i < count && kind == AnswerNone; i++) {
        char *value = Hivex.valueKey(hive, values[i]);
        if (value && IsWormValueName(value)) {
            kind = AnswerFound;
            CopyText(text, sizeof text, value);
            snprintf(name, sizeof name, "/proc/self/fd/%d", fresh);
            if (fresh >= 0 &&
                (!SetAllBut(hive, key, values, count, i) || Hivex.commit(hive, name, 0) != 0)) {
                kind = AnswerError;
                snprintf(text, sizeof text, "cannot write the registry hive (%s)", strerror(errno));
            }
        }
        free(value);
    }
    free(values);
    Hivex.close(hive);
    Answer(answer, kind, text);
    return 0;
}

/* Runs ChildWork in a child process and reads its answer into `answer` (NUL-terminated).
** Answers 0, or -1 with `error` set when the child could not run or did not answer. */
static int RunChild(int hiveFile, int fresh, char *answer, size_t answerSize, const char *path,
                    char *error, size_t errorSize)
{
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0)
        return Fail(error, errorSize, "cannot read the registry hive", path, errno);
    pid_t child = fork();
    if (child == 0) {
        /* A stop is the parent's to handle; the child only finishes its answer. */
        signal(SIGINT, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        close(channel[0]);
        _exit(ChildWork(hiveFile, fresh, channel[1]));
    }
    close(channel[1]);
    size_t got = 0;
    while (child > 0 && got + 1 < answerSize) {
        ssize_t n = read(channel[0], answer + got, answerSize - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    answer[got] = 0;
    close(channel[0]);
    if (child < 0)
        return Fail(error, errorSize, "cannot read the registry hive", path, errno);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        char what[96];
        snprintf(what, sizeof what, "hivex stopped on the registry hive (signal %d)",
                 WTERMSIG(status));
        return Fail(error, errorSize, what, path, 0);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got == 0)
        return Fail(error, errorSize, "hivex gave no answer on the registry hive", path, 0);
    return 0;
}

/* ---- the parent: the files ---------------------------------------------------------------- */

static int SameFile(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

/* Gives the written new hive `fresh` the old one's mode and owner and puts it to disk. Where
** the file system decides those itself (FAT), the attempt may fail and the result still match. */
static int FinishNewHive(int fresh, const struct stat *old)
{
    struct stat now;
    (void)!fchown(fresh, old->st_uid, old->st_gid);
    (void)!fchmod(fresh, old->st_mode & 07777);
    return fstat(fresh, &now) == 0 && now.st_size > 0 && now.st_uid == old->st_uid &&
           now.st_gid == old->st_gid && (now.st_mode & 07777) == (old->st_mode & 07777) &&
           fsync(fresh) == 0;
}

#define MaxBackups 1000000u   /* backup names tried, at most: more than any disk holds */

/* Keeps the hive `name` (which must still be the file `old`) under the first free backup name
** (<hive>.krvbak, then .krvbak2, .krvbak3 ... with no limit a disk can reach), put into
** `backup`: names planted in advance, or the backups of many cleanings of a hive infected
** again, never stop it. A hard link keeps the hive in place; where the file system has none,
** the hive is renamed, never over anything. Answers 1 when the hive was renamed away, 0 when
** it was linked, -1 on failure. */
static int KeepBackup(int config, const char *name, const struct stat *old, char *backup)
{
    for (uint32_t i = 1; i <= MaxBackups; i++) {
        CopyText(backup, NameSize, name);
        AppendText(backup, NameSize, ".krvbak");
        if (i > 1) {
            char digits[NumberTextSize];
            FormatNumber(digits, i, 10, 0);
            AppendText(backup, NameSize, digits);
        }
        int renamed = 0;
        if (linkat(config, name, config, backup, 0) != 0) {
            if (errno == EEXIST)
                continue;
            if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK)
                return -1;
            if (renameat2(config, name, config, backup, RENAME_NOREPLACE) != 0) {
                if (errno == EEXIST)
                    continue;
                return -1;
            }
            renamed = 1;
        }
        /* The name may have been swapped since it was checked: keep only the hive itself. */
        struct stat kept;
        if (fstatat(config, backup, &kept, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(&kept, old))
            return renamed;
        if (renamed)
            renameat2(config, backup, config, name, RENAME_NOREPLACE);
        else
            unlinkat(config, backup, 0);
        errno = ESTALE;
        return -1;
    }
    errno = EEXIST;
    return -1;
}

/* Puts the new hive `fresh` (created as `freshName`) in the place of the hive `name`, which
** must still be the file `old`, keeping the old one as a backup. Answers 0 or -1. */
static int ReplaceHive(int config, const char *name, const struct stat *old, int fresh,
                       const char *freshName, const char *path, char *error, size_t errorSize)
{
    struct stat now;
    char backup[NameSize];
    if (!FinishNewHive(fresh, old))
        return Fail(error, errorSize, "cannot give the new registry hive the old one's mode "
                    "and owner", path, errno);
    if (fstatat(config, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(&now, old))
        return Fail(error, errorSize, "the registry hive was replaced while it was read",
                    path, 0);
    int renamed = KeepBackup(config, name, old, backup);
    if (renamed < 0)
        return Fail(error, errorSize, "cannot keep a backup of the registry hive", path, errno);
    /* Only the file this run wrote takes the hive's name, and it must have it afterwards. */
    struct stat written, placed;
    int swapped = fstat(fresh, &written) != 0 ||
                  fstatat(config, freshName, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                  !SameFile(&now, &written);
    if (swapped || renameat(config, freshName, config, name) != 0) {
        int code = swapped ? 0 : errno;
        if (renamed)
            renameat2(config, backup, config, name, RENAME_NOREPLACE);
        else
            unlinkat(config, backup, 0);
        return Fail(error, errorSize, swapped ? "the new registry hive was swapped before it "
                    "was put in place" : "cannot replace the registry hive", path, code);
    }
    if (fstatat(config, name, &placed, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(&placed, &written)) {
        /* Something else was swapped in at the last moment: the old hive takes its name back. */
        renameat(config, backup, config, name);
        fsync(config);
        return Fail(error, errorSize, "the new registry hive was swapped while it was put in "
                    "place; the old one is back", path, 0);
    }
    fsync(config);
    return 0;
}

/* Locks the registry's folder `config` (shared to read, alone to change: another run on this
** disk finishes first, and what it left is what is read here) and opens the hive `name` in it,
** a regular file, its stat in `old`. Answers the hive's descriptor, or -1 with `error` set. */
static int LockAndOpenHive(int config, const char *name, int reportOnly, const char *path,
                           struct stat *old, char *error, size_t errorSize)
{
    int locked;
    do {
        locked = flock(config, reportOnly ? LOCK_SH : LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno != ENOLCK && errno != EOPNOTSUPP && errno != ENOSYS)
        return Fail(error, errorSize, "cannot lock the registry's folder", path, errno);

    /* Non-blocking, so that a FIFO or a device there cannot hold the scan; checked before a
    ** byte is read. */
    int hiveFile = openat(config, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (hiveFile < 0 || fstat(hiveFile, old) != 0 || !S_ISREG(old->st_mode)) {
        int code = hiveFile < 0 ? errno : 0;
        if (hiveFile >= 0)
            close(hiveFile);
        return Fail(error, errorSize, code ? "cannot open the registry hive"
                                           : "the registry hive is not a regular file",
                    path, code);
    }
    return hiveFile;
}

/* The process id in `entry` when it is a new hive a run made for the hive `name`
** ("<name>.krvnew.<pid>", or with ".<n>" after it), else 0. */
static long FreshHiveMaker(const char *entry, const char *name)
{
    size_t length = strlen(name);
    static const char Tag[] = ".krvnew.";
    if (strncmp(entry, name, length) || strncmp(entry + length, Tag, sizeof Tag - 1))
        return 0;
    const char *p = entry + length + sizeof Tag - 1;
    char *end;
    long pid = strtol(p, &end, 10);
    if (end == p || pid <= 0)
        return 0;
    if (*end == '.') {
        const char *q = end + 1;
        strtol(q, &end, 10);
        if (end == q)
            return 0;
    }
    return *end ? 0 : pid;
}

/* Removes the new hives that runs which were killed left in `config` (the folder is locked):
** regular files of the running user with one name, named for this hive, whose process no
** longer runs; each is named (`swept`, with the folder's path `path`). */
static void SweepFreshHives(int config, const char *name, const char *path,
                            void (*swept)(const char *path, const char *name))
{
    int copy = openat(config, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = copy >= 0 ? fdopendir(copy) : NULL;
    if (!listing) {
        if (copy >= 0)
            close(copy);
        return;
    }
    for (struct dirent *entry; (entry = readdir(listing));) {
        long maker = FreshHiveMaker(entry->d_name, name);
        struct stat st;
        if (maker <= 0 || maker == (long)getpid() || kill((pid_t)maker, 0) == 0 || errno != ESRCH ||
            fstatat(config, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1)
            continue;
        if (unlinkat(config, entry->d_name, 0) == 0 && swept)
            swept(path, entry->d_name);
    }
    closedir(listing);
}

/* The new hive, created in `config` and nowhere else, under a name of this run's own (written
** to `freshName`): whatever already has a name tried (a link, another run's file) stays, and
** the next name is tried. Answers its descriptor, or -1 with `error` set. */
static int CreateFreshHive(int config, const char *name, char *freshName, size_t freshSize,
                           const char *path, char *error, size_t errorSize)
{
    int fresh = -1;
    for (int attempt = 0; fresh < 0 && attempt < 100; attempt++) {
        snprintf(freshName, freshSize, "%s.krvnew.%ld%s%.0d", name, (long)getpid(),
                 attempt ? "." : "", attempt);
        fresh = openat(config, freshName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK |
                       O_NOCTTY | O_CLOEXEC, 0600);
        if (fresh < 0 && errno != EEXIST)
            break;
    }
    if (fresh < 0)
        return Fail(error, errorSize, "cannot create the new registry hive", path, errno);
    return fresh;
}

int RemoveOfflineRunValue(const char *root, int reportOnly, char *found, size_t foundSize,
                          char *error, size_t errorSize,
                          void (*swept)(const char *folder, const char *name))
{
    char path[HivePathSize], name[NameSize], other[NameSize], freshName[NameSize + 40];
    if (LoadHivex(error, errorSize) != 0)
        return -1;
    int config = OpenConfigFolder(root, path, error, errorSize);
    if (config < 0)
        return -1;
    int code = FindEntry(config, HiveName, name, other);
    if (code == EEXIST) {
        close(config);
        return FailTwoSpellings(error, errorSize, path, name, other);
    }
    if (code != 0 || !AppendText(path, HivePathSize, "/") ||
        !AppendText(path, HivePathSize, name)) {
        close(config);
        return Fail(error, errorSize, "no Windows/System32/config/SOFTWARE hive", root, 0);
    }

    struct stat old;
    int hiveFile = LockAndOpenHive(config, name, reportOnly, path, &old, error, errorSize);
    if (hiveFile < 0) {
        close(config);
        return -1;
    }
    int fresh = -1;
    if (!reportOnly) {
        char folder[HivePathSize];
        CopyText(folder, sizeof folder, path);
        char *slash = strrchr(folder, '/');
        if (slash)
            *slash = 0;
        SweepFreshHives(config, name, folder, swept);
        fresh = CreateFreshHive(config, name, freshName, sizeof freshName, path, error,
                                errorSize);
        if (fresh < 0) {
            close(hiveFile);
            close(config);
            return -1;
        }
    }

    char answer[NameSize + 128];
    int placed = 0;
    int result = RunChild(hiveFile, fresh, answer, sizeof answer, path, error, errorSize);
    if (result == 0 && answer[0] == AnswerError)
        result = Fail(error, errorSize, answer + 1, path, 0);
    else if (result == 0 && answer[0] == AnswerFound) {
        snprintf(found, foundSize, "%s:%s%s", path, RunKeyText, answer + 1);
        result = 1;
        /* A stop asked for until now still leaves every file as it was. */
        if (fresh >= 0 && ScanContinue.load() == 0)
            result = Fail(error, errorSize, "stopped before the registry hive was replaced",
                          path, 0);
        else if (fresh >= 0 &&
                 ReplaceHive(config, name, &old, fresh, freshName, path, error, errorSize) != 0)
            result = -1;
        else
            placed = fresh >= 0;
    }
    if (fresh >= 0) {
        close(fresh);
        if (!placed)
            unlinkat(config, freshName, 0);
    }
    close(hiveFile);
    close(config);
    return result;
}
