/*
** The POSIX backend, the offline hive: the files of the registry of a Windows installation that
** is not running, and hivex, for the table's hive entries (platform.h).
**
** The disk is not to be trusted: anyone who could write there may have put links, FIFOs or a
** crafted hive in the way, and may rename things while the scan runs. So the caller reaches
** the config folder one opened folder at a time, every later step acts through that folder's
** descriptor, the hive is opened non-blocking and checked to be a regular file before a byte
** is read, and the new hive is a file this process created exclusively under a name no one can
** guess. Each step is one of the safe file procedures (posix_safe.cpp), over PosixSys.
**
** hivex has no call that deletes one value: the key's values are set anew without it, and
** hivex_commit writes a whole new file. It parses what the disk holds, and a crafted hive can
** make it abort, so it runs in a child process and reads and writes only through descriptors
** opened here (by their /proc/self/fd names). The child answers on a pipe; a child that dies
** is a cause naming the signal, not the end of the scan's process.
**
** hivex is loaded when the caller asks for it, not when the program starts: a rescue system
** without it can still run every other scan.
**
** Owners mean nothing on such a disk (ntfs-3g shows every file as root's, 0777): the held
** folder, exclusive creation, the identity checks and the folder's lock do the work.
*/
#include "platform/platform.h"
#include "platform/posix.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <hivex.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

/* A folder, the hive or the new hive: its descriptor and what fstat said when it was opened. */
struct HiveHandle {
    int fd;
    struct stat st;
};

static HiveHandle *Held(void *handle)
{
    return (HiveHandle *)handle;
}

static void *Hold(int fd)
{
    HiveHandle *h = fd >= 0 ? (HiveHandle *)malloc(sizeof *h) : nullptr;
    if (h && fstat(fd, &h->st) == 0) {
        h->fd = fd;
        return h;
    }
    int code = errno;
    free(h);
    if (fd >= 0) close(fd);
    errno = code;
    return nullptr;
}

void PosixHiveClose(void *handle)
{
    if (!handle) return;
    close(Held(handle)->fd);
    free(handle);
}

static int SameFile(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

/* Whether `name` in `folder` is (by identity) the file `st`. */
static int StillThere(int folder, const char *name, const struct stat *st)
{
    struct stat now;
    return fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(&now, st);
}

/* ---- hivex, loaded at run time ------------------------------------------------------------ */

#define HivexLibrary "libhivex.so.0"

/* The functions of hivex this backend calls; filled once by PosixHiveLoad. */
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

int PosixHiveLoad(char *cause, uint32_t size)
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
    if (Hivex.open) return 1;
    void *library = dlopen(HivexLibrary, RTLD_NOW | RTLD_LOCAL);
    for (size_t i = 0; library && i < sizeof symbols / sizeof symbols[0]; i++) {
        void *function = dlsym(library, symbols[i].name);
        if (!function) library = nullptr;
        memcpy(symbols[i].slot, &function, sizeof function);
    }
    if (!library) {
        const char *why = dlerror();
        Hivex.open = nullptr;
        snprintf(cause, size, "the registry library " HivexLibrary " cannot be loaded "
                 "(install the package libhivex0): %s", why ? why : "");
        return 0;
    }
    return 1;
}

/* ---- folders and files ------------------------------------------------------------------- */

void *PosixHiveFolder(void *folder, const char *name)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
    if (!folder) return Hold(PosixSys.openat(AT_FDCWD, name, flags, 0));
    return Hold(SafeOpenIn(Held(folder)->fd, name, flags | O_NOFOLLOW, 0));
}

int PosixHiveAlike(void *folder, const char *name, char (*found)[HiveNameSize], int max)
{
    int copy = PosixSys.openat(Held(folder)->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    DIR *list = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!list) {
        if (copy >= 0) close(copy);
        return -1;
    }
    int count = 0;
    for (struct dirent *entry; (entry = readdir(list)) != nullptr;) {
        if (strcasecmp(entry->d_name, name) != 0) continue;
        if (count < max) snprintf(found[count], HiveNameSize, "%s", entry->d_name);
        count++;
    }
    closedir(list);
    return count;
}

int PosixHiveOpen(void *folder, const char *name, int change, void **hive)
{
    *hive = nullptr;
    int config = Held(folder)->fd;
    if (!SafeLock(config, change ? LOCK_EX : LOCK_SH) && errno != ENOLCK &&
        errno != EOPNOTSUPP && errno != ENOSYS)
        return HiveCannotLock;
    /* Non-blocking, so that a FIFO or a device there cannot hold the scan; checked before a
    ** byte is read. */
    *hive = Hold(SafeOpenIn(config, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!*hive) return HiveCannotOpen;
    if (!S_ISREG(Held(*hive)->st.st_mode)) {
        PosixHiveClose(*hive);
        *hive = nullptr;
        return HiveNotRegular;
    }
    return HiveReady;
}

/* The process id in `name` when it is a new hive a run made with the prefix `shape`:
** "<prefix>.<pid>.<16 hex digits>" (hiveCreate), or "<prefix>.<pid>" and "<prefix>.<pid>.<n>"
** (earlier versions); else 0. */
static long HiveMaker(const char *name, const void *shape)
{
    const char *prefix = (const char *)shape;
    size_t length = strlen(prefix);
    if (strncmp(name, prefix, length) != 0 || name[length] != '.') return 0;
    const char *digits = name + length + 1;
    char *end;
    if (*digits < '0' || *digits > '9') return 0;
    long pid = strtol(digits, &end, 10);
    if (*end == 0) return pid;
    if (*end != '.' || !end[1]) return 0;
    int decimal = 1, hex = strlen(end + 1) == 16;
    for (const char *c = end + 1; *c; c++) {
        decimal &= *c >= '0' && *c <= '9';
        hex &= (*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f');
    }
    return decimal || hex ? pid : 0;
}

int PosixHiveSweep(void *folder, const char *prefix,
                   void (*swept)(const char *name, void *context), void *context)
{
    return SafeSweepBy(Held(folder)->fd, HiveMaker, prefix, swept, context);
}

void *PosixHiveCreate(void *folder, const char *prefix, char *made, uint32_t size)
{
    return Hold(SafeCreateUnique(Held(folder)->fd, prefix, "", 0600, O_RDWR, made, size));
}

int PosixHiveFinish(void *folder, const char *name, void *hive, void *fresh)
{
    /* Where the file system decides mode and owner itself (FAT), the attempt may fail and the
    ** result still match. */
    const struct stat *old = &Held(hive)->st;
    int fd = Held(fresh)->fd;
    struct stat now;
    (void)!fchown(fd, old->st_uid, old->st_gid);
    (void)!fchmod(fd, old->st_mode & 07777);
    if (fstat(fd, &now) != 0 || now.st_size == 0 || now.st_uid != old->st_uid ||
        now.st_gid != old->st_gid || (now.st_mode & 07777) != (old->st_mode & 07777) ||
        !SafeSync(fd))
        return 0;
    return StillThere(Held(folder)->fd, name, old) ? 1 : -1;
}

/* The hive kept as `backup` by hiveKeep (`kept`) takes `name` back, or the second name goes. */
static void Unkeep(int config, const char *backup, const char *name, int kept)
{
    if (kept == HiveRenamed)
        SafeRenameNoReplace(config, backup, config, name);
    else
        PosixSys.unlinkat(config, backup, 0);
}

int PosixHiveKeep(void *folder, const char *name, void *hive, const char *backup)
{
    int config = Held(folder)->fd, kept = HiveLinked;
    if (PosixSys.linkat(config, name, config, backup, 0) != 0) {
        if (errno == EEXIST) return 0;
        if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return -1;
        if (!SafeRenameNoReplace(config, name, config, backup)) return errno == EEXIST ? 0 : -1;
        kept = HiveRenamed;
    }
    /* The name may have been swapped since it was checked: keep only the hive itself. */
    if (StillThere(config, backup, &Held(hive)->st)) return kept;
    Unkeep(config, backup, name, kept);
    errno = ESTALE;
    return -1;
}

int PosixHivePut(void *folder, void *fresh, const char *freshName, const char *name,
                 const char *backup, int kept)
{
    int config = Held(folder)->fd;
    struct stat written;
    if (fstat(Held(fresh)->fd, &written) != 0 || !StillThere(config, freshName, &written)) {
        Unkeep(config, backup, name, kept);
        return HiveSwappedBefore;
    }
    /* The one replacing rename, where the old hive keeps its name until the new one takes it;
    ** where it was renamed away (no links) the name is free, and nothing else may take it. */
    if (kept == HiveRenamed ? !SafeRenameNoReplace(config, freshName, config, name)
                            : PosixSys.renameat2(config, freshName, config, name, 0) != 0) {
        int code = errno;
        Unkeep(config, backup, name, kept);
        errno = code;
        return HiveCannotReplace;
    }
    if (!StillThere(config, name, &written)) {
        /* Something else was swapped in at the last moment: the old hive takes its name back. */
        PosixSys.renameat2(config, backup, config, name, 0);
        SafeSync(config);
        return HiveSwappedAfter;
    }
    SafeSync(config);
    return HivePlaced;
}

void PosixHiveDiscard(void *folder, void *fresh, const char *freshName)
{
    if (StillThere(Held(folder)->fd, freshName, &Held(fresh)->st))
        PosixSys.unlinkat(Held(folder)->fd, freshName, 0);
}

/* ---- the child: hivex over the hive, as registry entries ------------------------------------ */

/* The child's hive and its Run key; the child process is its only user. */
static struct {
    hive_h *hive;
    hive_node_h key;          /* 0: the hive has no Run key */
    hive_value_h *values;     /* the key's values, null-terminated (null: none) */
    size_t count;
    int fresh;                /* where the new hive goes, -1 to read only */
} Child;

static void *ChildOpenRunKey(int write)
{
    static const char *const parts[] = {"Microsoft", "Windows", "CurrentVersion", "Run"};
    if (write && Child.fresh < 0) return nullptr;
    hive_node_h node = Hivex.root(Child.hive);
    for (const char *part : parts)
        node = node ? Hivex.nodeGetChild(Child.hive, node, part) : 0;
    Child.key = node;
    Child.values = node ? Hivex.nodeValues(Child.hive, node) : nullptr;
    Child.count = 0;
    while (Child.values && Child.values[Child.count]) Child.count++;
    return &Child;
}

static int ChildValueCount(void *, uint32_t *count)
{
    *count = (uint32_t)Child.count;
    return 1;
}

static int ChildEnumValue(void *, uint32_t index, char *name, uint32_t *length)
{
    char *key = index < Child.count ? Hivex.valueKey(Child.hive, Child.values[index]) : nullptr;
    size_t n = key ? strlen(key) : 0;
    int fits = key && n < *length;
    if (fits) {
        memcpy(name, key, n + 1);
        *length = (uint32_t)n;
    }
    free(key);
    return fits;
}

/* The index of the value `name`, or Child.count when there is none. */
static size_t ChildFind(const char *name)
{
    size_t i = 0;
    for (; i < Child.count; i++) {
        char *key = Hivex.valueKey(Child.hive, Child.values[i]);
        int same = key && strcmp(key, name) == 0;
        free(key);
        if (same) break;
    }
    return i;
}

/* UTF-16LE `data` (`length` bytes, up to its first NUL) as UTF-8 into `out` (`size` bytes),
** cut to whole characters; a lone surrogate becomes U+FFFD. */
static void Utf16ToUtf8(const unsigned char *data, size_t length, char *out, size_t size)
{
    size_t n = 0;
    for (size_t i = 0; i + 1 < length;) {
        uint32_t c = data[i] | (uint32_t)data[i + 1] << 8;
        i += 2;
        if (c == 0) break;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
            uint32_t low = data[i] | (uint32_t)data[i + 1] << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
        unsigned char bytes[4];
        size_t k = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        static const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (size_t j = k - 1; j > 0; j--, c >>= 6) bytes[j] = (unsigned char)(0x80 | (c & 0x3F));
        bytes[0] = (unsigned char)(k == 1 ? c : lead[k] | c);
        if (n + k >= size) break;
        memcpy(out + n, bytes, k);
        n += k;
    }
    out[n] = 0;
}

static int ChildValueText(void *, const char *name, char *out, uint32_t size)
{
    out[0] = 0;
    size_t i = ChildFind(name);
    if (i == Child.count) return 0;
    hive_type type;
    size_t length;
    char *data = Hivex.valueValue(Child.hive, Child.values[i], &type, &length);
    if (!data) return 0;
    if (type == hive_t_REG_SZ || type == hive_t_REG_EXPAND_SZ)
        Utf16ToUtf8((const unsigned char *)data, length, out, size);
    free(data);
    return 1;
}

/* The key's values set anew without `name`, and the whole hive written into the new file. */
static int ChildDeleteValue(void *, const char *name)
{
    size_t skip = ChildFind(name);
    if (skip == Child.count || Child.fresh < 0) return 0;
    hive_set_value *kept = (hive_set_value *)calloc(Child.count, sizeof *kept);
    size_t n = 0;
    int ok = kept != nullptr;
    for (size_t i = 0; ok && i < Child.count; i++) {
        if (i == skip) continue;
        kept[n].key = Hivex.valueKey(Child.hive, Child.values[i]);
        kept[n].value = Hivex.valueValue(Child.hive, Child.values[i], &kept[n].t, &kept[n].len);
        ok = kept[n].key && kept[n].value;
        n++;
    }
    ok = ok && Hivex.nodeSetValues(Child.hive, Child.key, n, kept, 0) == 0;
    for (size_t i = 0; kept && i < n; i++) {
        free(kept[i].key);
        free(kept[i].value);
    }
    free(kept);
    char path[48];
    snprintf(path, sizeof path, "/proc/self/fd/%d", Child.fresh);
    return ok && Hivex.commit(Child.hive, path, 0) == 0;
}

static void ChildCloseKey(void *)
{
    free(Child.values);
    Child.values = nullptr;
    Child.count = 0;
}

/* What the child answers on its pipe: one of these bytes, then the work's answer or a cause. */
enum { AnswerWork = 'A', AnswerError = 'E' };

static int ChildMain(int hive, int fresh, void (*work)(const PlatformRegistry *, void *),
                     void *answer, uint32_t size, int channel)
{
    char path[48];
    snprintf(path, sizeof path, "/proc/self/fd/%d", hive);
    Child.fresh = fresh;
    Child.hive = Hivex.open(path, fresh >= 0 ? HIVEX_OPEN_WRITE : 0);
    if (!Child.hive) {
        char cause[160];
        snprintf(cause, sizeof cause, "%ccannot open the registry hive (%s)", AnswerError,
                 strerror(errno));
        SafeWriteAll(channel, cause, strlen(cause));
        return 0;
    }
    PlatformRegistry registry = Platform.registry;
    registry.regOpenRunKey = ChildOpenRunKey;
    registry.regValueCount = ChildValueCount;
    registry.regEnumValue = ChildEnumValue;
    registry.regDeleteValue = ChildDeleteValue;
    registry.regCloseKey = ChildCloseKey;
    registry.regValueText = ChildValueText;
    work(&registry, answer);
    Hivex.close(Child.hive);
    const char kind = AnswerWork;
    SafeWriteAll(channel, &kind, 1);
    SafeWriteAll(channel, answer, size);
    return 0;
}

/* Reads what the child sends until it closes its end, at most `size` bytes; answers how many. */
static size_t ReadAnswer(int channel, char *out, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(channel, out + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    return got;
}

int PosixHiveEdit(void *hive, void *fresh, void (*work)(const PlatformRegistry *, void *),
                  void *answer, uint32_t size, char *cause, uint32_t causeSize)
{
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        snprintf(cause, causeSize, "cannot read the registry hive (%s)", strerror(errno));
        return 0;
    }
    pid_t child = fork();
    if (child == 0) {
        /* A stop is the parent's to handle; the child only finishes its answer. */
        signal(SIGINT, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        close(channel[0]);
        _exit(ChildMain(Held(hive)->fd, fresh ? Held(fresh)->fd : -1, work, answer, size,
                        channel[1]));
    }
    int code = errno;
    close(channel[1]);
    char kind = 0;
    size_t got = child > 0 ? ReadAnswer(channel[0], &kind, 1) : 0;
    if (got && kind == AnswerWork)
        got += ReadAnswer(channel[0], (char *)answer, size);
    else if (got && kind == AnswerError)
        cause[ReadAnswer(channel[0], cause, causeSize - 1)] = 0;
    close(channel[0]);
    if (child < 0) {
        snprintf(cause, causeSize, "cannot read the registry hive (%s)", strerror(code));
        return 0;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        snprintf(cause, causeSize, "hivex stopped on the registry hive (signal %d)",
                 WTERMSIG(status));
        return 0;
    }
    if (kind == AnswerError) return 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got != 1 + (size_t)size) {
        snprintf(cause, causeSize, "hivex gave no answer on the registry hive");
        return 0;
    }
    return 1;
}
