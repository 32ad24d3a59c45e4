/*
** The POSIX backend, listings: folders read with getdents64, the read-ahead window that fetches
** their files ahead and lists the next folders ahead (readahead_posix.h), and the entries'
** attributes as FindFirstFileA gives them.
**
** A listing inside another is opened through the entry in hand, that is through its parent's
** open folder, a link refused: one put in the folder's place since it was listed would lead the
** walk elsewhere. The listings open around one another form a chain (each knows the one it was
** opened from); the chain shares one read-ahead ring. A listing keeps the files it fetched ahead
** while the walk is inside one of its folders, for the walk to take when it comes back: giving
** them back at every descent throws much of the fetching away (a loss that a daemon in user
** space makes the scan pay twice). What the chain holds is bounded by the descriptor budget,
** which leaves each listing opened inside its descriptor (AheadEnter); an open of the walk that
** still finds none free has read-ahead give back what the whole chain holds and is tried once
** more.
*/
#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/readahead_posix.h"

#include <atomic>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <unistd.h>

/* Bytes of one read of the folder's entries: readdir's own buffer size. The listing reads its
** entries itself so that read-ahead looks only at entries already read, and the folder is read
** at the same moments with read-ahead as without (what a folder changed during the scan lists
** depends on those moments). Only the listing the walk is in needs that much: one that a
** listing is opened inside keeps just the entries it has yet to give (KeepOnlyWhatIsLeft), so
** that memory does not grow by a buffer per folder level down a deep tree (2,000 levels fit in
** a path). Never less than the longest entry, which a read then still has room for. */
#define ListingBytes 32768
#define ListingLeastBytes ((uint32_t)sizeof(struct dirent64))

/* One enumeration: "." and ".." are given first by us (not every file system lists them, and
** Windows always does for a folder), then what readdir gives, without its own "." and "..". */
struct PosixFind {
    int fd;              /* the listed folder */
    dev_t device;        /* the listed folder's identity */
    ino_t inode;
    int synthetic;       /* how many of ".", ".." were given so far */
    PosixFind *outer;    /* the listing this one was opened from, or null */
    int inners;          /* listings open from this one: it stays until they are closed */
    int closed;          /* findClose was called */
    int single;          /* a listing of one entry, given at findFirst */
    Ahead *ahead;        /* the walk's read-ahead, or null */
    int ownsAhead;       /* this listing opened it (the outermost of the chain) */
    int entryRegular;    /* the listing said the current entry is a regular file */
    int entrySlot;       /* the current entry's file fetched ahead, or -1 */
    /* Files fetched ahead, in listing order: slot and entry offset in `entries`. */
    int aheadSlot[AheadWindow];
    uint32_t aheadAt[AheadWindow];
    unsigned aheadFirst, aheadCount;
    uint32_t used, filled, looked;   /* next entry to give, bytes read, next entry to fetch */
    uint32_t room;       /* bytes `entries` holds: ListingBytes, or fewer (KeepOnlyWhatIsLeft) */
    char *entries;       /* what was read of the folder, from the malloc */
};

static PosixFind *FindOf(FindHandle find) { return (PosixFind *)find; }

static std::atomic<uint32_t> listedAhead{0};

uint32_t PosixReadAheadListed(void)
{
    return listedAhead.load() + AheadWarmerListed();
}

int ListingFolder(FindHandle find)
{
    return FindOf(find)->fd;
}

int ListingSaysRegular(FindHandle find)
{
    return FindOf(find)->entryRegular;
}

/* Gives the current entry's file fetched ahead back, if the scan did not take it. */
static void DropEntrySlot(PosixFind *find)
{
    if (find->entrySlot >= 0) AheadDrop(find->ahead, find->entrySlot);
    find->entrySlot = -1;
}

/* Gives back every file the listing has fetched ahead. They are not fetched again: what was
** fetched is in the cache, and the scan opens them itself when it comes to them. */
static void GiveBackAhead(PosixFind *find)
{
    if (!find->ahead) return;
    DropEntrySlot(find);
    for (; find->aheadCount; find->aheadCount--) {
        AheadDrop(find->ahead, find->aheadSlot[find->aheadFirst]);
        find->aheadFirst = (find->aheadFirst + 1) % AheadWindow;
    }
}

int ListingGiveBackAhead(FindHandle handle)
{
    PosixFind *find = FindOf(handle);
    if (!find->ahead) return 0;
    unsigned held = AheadHolding(find->ahead);
    for (PosixFind *chain = find; chain; chain = chain->outer)
        GiveBackAhead(chain);
    AheadSettle(find->ahead);
    return AheadHolding(find->ahead) < held;
}

/* The file may have been fetched well before the scan came to it: only a name that still leads
** to the same inode makes it the file the scan would open now. */
int ListingTakeAhead(FindHandle handle, const char *name, struct stat *st)
{
    PosixFind *find = FindOf(handle);
    if (find->entrySlot < 0) return -1;
    int fd = AheadTake(find->ahead, find->entrySlot, st);
    struct stat now;
    if (fd >= 0 && (!KnownFacts(find->fd, name, &now) ||
                    now.st_dev != st->st_dev || now.st_ino != st->st_ino)) {
        close(fd);
        fd = -1;
    }
    DropEntrySlot(find);
    return fd;
}

static void SetName(FindRecord *record, const char *name, size_t length)
{
    /* Not memcpy: bounded by the record, it became a string move (rep movs), whose start-up
    ** took longer than a short name takes to copy, a per cent of a warm scan. */
    for (size_t i = 0; i <= length; i++) record->name[i] = name[i];
}

/* Non-zero when `st` is the folder of a listing of the chain that ends in `find`. */
static int InChain(const PosixFind *find, const struct stat *st)
{
    for (; find; find = find->outer)
        if (find->device == st->st_dev && find->inode == st->st_ino) return 1;
    return 0;
}

/* The entry's attributes and reparse tag. readdir's type saves a look at every file; folders
** are looked at, because a folder on another file system is a mount point, which, as a volume
** mount point on Windows, carries AttrReparsePoint: the walk then never wanders from one fixed
** drive into another (or into /proc), unless asked to (CrossMountPoints). So does a folder that
** is one the chain is listing already (bound inside itself): entering it would walk the same
** files again, and again. A symbolic link carries the tag of a Windows one. Returns 0 when the
** entry vanished meanwhile. */
static int EntryAttributes(PosixFind *find, const char *name, unsigned char type,
                           FindRecord *record)
{
    int folder = find->fd;
    struct stat st, target;
    record->reparseTag = 0;
    if (type == DT_REG) {
        memset(&st, 0, sizeof st);
        st.st_mode = S_IFREG | S_IWUSR;        /* read-only is not looked up for a listing */
        record->attributes = AttributesOf(name, &st, 0);
        find->entryRegular = 1;
        return 1;
    }
    int looked = fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!looked) {
        if (errno == ENOENT) return 0;
        /* A folder we may list but not search: the entry's type is all there is. */
        memset(&st, 0, sizeof st);
        st.st_mode = type == DT_DIR   ? (S_IFDIR | 0700)
                     : type == DT_LNK ? (S_IFLNK | 0700)
                                      : (S_IFREG | 0600);
        st.st_dev = find->device;
    }
    int named = S_ISLNK(st.st_mode) && fstatat(folder, name, &target, 0) == 0;
    record->attributes = AttributesOf(name, &st, named ? &target : 0);
    find->entryRegular = looked && S_ISREG(st.st_mode);
    if (S_ISLNK(st.st_mode)) {
        record->reparseTag = ReparseTagSymlink;
    } else if (S_ISDIR(st.st_mode) && ((st.st_dev != find->device && !CrossMountPoints) ||
                                       (looked && InChain(find, &st)))) {
        record->attributes |= AttrReparsePoint;
        record->reparseTag = ReparseTagMountPoint;
    }
    return 1;
}

/* The entry at `offset` of what was read of the folder. */
static const struct dirent64 *EntryAt(PosixFind *find, uint32_t offset)
{
    return (const struct dirent64 *)(find->entries + offset);
}

/* Lists the folder `name` of the listing ahead of the walk and starts fetching the inodes of
** its first files, so that the walk, coming to it, finds its entries and its first files' inodes
** in memory instead of waiting for each in turn. The listing read here is thrown away: the walk
** reads the folder again when it enters it, so what it sees (entries, order, a folder changed
** in between) is only ever what it read itself; and no file is opened before the walk comes to
** it. Nothing is listed across a mount point, nor without room for the folder's descriptor
** beside at least one inode fetch (a deep walk needs them more). */
static void ListAhead(PosixFind *find, const char *name)
{
    alignas(8) static thread_local char entries[ListingBytes];
    if (AheadRoom(find->ahead) < 2) return;
    int fd = openat(find->fd, name,
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    ssize_t got;
    if (fstat(fd, &st) == 0 && st.st_dev == find->device &&
        (got = getdents64(fd, entries, sizeof entries)) > 0) {
        listedAhead.fetch_add(1, std::memory_order_relaxed);
        unsigned fetched = 0;
        /* One descriptor of the room is the folder's own. */
        for (ssize_t at = 0;
             at < got && fetched < AheadFolderFiles && AheadRoom(find->ahead) > 1;) {
            const struct dirent64 *entry = (const struct dirent64 *)(entries + at);
            if (entry->d_type == DT_REG) fetched += AheadInode(find->ahead, fd, entry->d_name);
            at += entry->d_reclen;
        }
    }
    close(fd);
}

/* Starts fetching the regular files among the entries read but not yet given, up to the window
** read-ahead allows now and as long as the walk has free slots, and, where that is worth it
** (AheadListsFolders), lists the first folders among them ahead (the inodes of the others are
** fetched). Nothing more of the folder is read for it. Fetching starts again only when half the
** window is used, so that requests go to the kernel in batches. Folders wait for the whole
** window, that is for a file found missing from the cache: an inode is fetched by one of the
** kernel's workers only, and a process with a worker pays for it on every call that names a
** descriptor, for the rest of a scan that the cache may hold whole. */
static void FetchAhead(PosixFind *find)
{
    if (!find->ahead) return;
    unsigned window = AheadWanted(find->ahead);
    int lists = window == AheadWindow && AheadListsFolders(find->ahead);
    uint32_t folders[AheadFolders];
    unsigned folderCount = 0;
    if (window && find->aheadCount <= window / 2) {
        while (find->looked < find->filled && find->aheadCount < window) {
            const struct dirent64 *entry = EntryAt(find, find->looked);
            const char *name = entry->d_name;
            int folder = entry->d_type == DT_DIR && !IsDots(name) && lists;
            if (folder && folderCount < AheadFolders) {
                folders[folderCount++] = find->looked;
            } else if (entry->d_type == DT_REG || folder) {
                int slot = AheadEntry(find->ahead, find->fd, name, folder);
                if (slot < 0) break;
                if (!folder) {
                    unsigned last = (find->aheadFirst + find->aheadCount++) % AheadWindow;
                    find->aheadSlot[last] = slot;
                    find->aheadAt[last] = find->looked;
                }
            }
            find->looked += entry->d_reclen;
        }
    }
    /* The files go to the kernel first: the folders are listed while they are fetched. */
    AheadPoll(find->ahead);
    for (unsigned i = 0; i < folderCount; i++)
        ListAhead(find, EntryAt(find, folders[i])->d_name);
    if (folderCount) AheadPoll(find->ahead);
}

/* The next entry of the folder as read, reading more of it when all was given; null at the
** end or on an error. The entry's file fetched ahead, if any, becomes the entry's slot. */
static const struct dirent64 *ReadEntry(PosixFind *find)
{
    if (find->used >= find->filled) {
        if (find->room < ListingBytes) {
            /* Back from the folders inside, the whole buffer again; without memory for it,
            ** what is left of the listing is read in what it has. */
            char *entries = (char *)malloc(ListingBytes);
            if (entries) {
                free(find->entries);
                find->entries = entries;
                find->room = ListingBytes;
            }
        }
        ssize_t got = getdents64(find->fd, find->entries, find->room);
        if (got <= 0) return 0;
        find->filled = (uint32_t)got;
        find->used = find->looked = 0;
    }
    FetchAhead(find);   /* this entry included, when it is the first of what was read */
    uint32_t at = find->used;
    const struct dirent64 *entry = EntryAt(find, at);
    find->used += entry->d_reclen;
    if (find->ahead && !IsDots(entry->d_name)) AheadPassed(find->ahead);
    if (find->looked < find->used) find->looked = find->used;
    /* Files are fetched in listing order, so this entry's, if any, is the first. */
    if (find->aheadCount && find->aheadAt[find->aheadFirst] == at) {
        find->entrySlot = find->aheadSlot[find->aheadFirst];
        find->aheadFirst = (find->aheadFirst + 1) % AheadWindow;
        find->aheadCount--;
    }
    return entry;
}

static int NextEntry(PosixFind *find, FindRecord *record)
{
    find->entryRegular = 0;
    DropEntrySlot(find);
    if (find->single) return 0;
    if (find->synthetic < 2) {
        find->synthetic++;
        record->attributes = AttrDirectory;
        record->reparseTag = 0;
        SetName(record, find->synthetic == 1 ? "." : "..", (size_t)find->synthetic);
        return 1;
    }
    for (;;) {
        const struct dirent64 *entry = ReadEntry(find);
        if (!entry) return 0;
        const char *name = entry->d_name;
        size_t length = strlen(name);
        if (IsDots(name) || length >= sizeof record->name ||     /* cannot be named to us */
            !EntryAttributes(find, name, entry->d_type, record)) {
            DropEntrySlot(find);
            continue;
        }
        SetName(record, name, length);
        return 1;
    }
}

/* A listing is being opened inside `find`: until the walk comes back and it reads the folder
** on, it keeps only the entries it has yet to give, at the start of a buffer of their size (at
** least ListingLeastBytes), with the offsets of those it fetched ahead moved along, and hands
** its whole buffer on to the listing inside, so that a deep walk holds one. Answers that
** buffer, or null when `find` has none to give (it kept all it has, without memory for less). */
static char *KeepOnlyWhatIsLeft(PosixFind *find)
{
    uint32_t left = find->filled - find->used;
    uint32_t room = left > ListingLeastBytes ? left : ListingLeastBytes;
    if (find->room < ListingBytes) return 0;   /* inside one of its folders before */
    char *entries = (char *)malloc(room);
    if (!entries) return 0;
    memcpy(entries, find->entries + find->used, left);
    char *whole = find->entries;
    find->entries = entries;
    find->room = room;
    for (unsigned i = 0; i < find->aheadCount; i++)
        find->aheadAt[(find->aheadFirst + i) % AheadWindow] -= find->used;
    find->looked -= find->used;
    find->filled = left;
    find->used = 0;
    return whole;
}

/* A folder that could not be opened for want of descriptors says so (InHand.failure). */
static void NoteOpenFailed(int code)
{
    if (code == EMFILE || code == ENFILE) InHand.failure = FailureDescriptors;
}

/* Opens the folder `name` of the listing `outer` (a link refused), which must lie on the same
** file system (unless CrossMountPoints) and be none of the chain's folders; -1 otherwise. */
static int OpenInside(PosixFind *outer, const char *name, struct stat *st)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    int fd = openat(outer->fd, name, flags);
    int code = errno;   /* the cause, whatever giving back sets */
    if (fd < 0 && (code == EMFILE || code == ENFILE) && ListingGiveBackAhead((FindHandle)outer)) {
        fd = openat(outer->fd, name, flags);
        code = errno;
    }
    if (fd < 0) NoteOpenFailed(code);
    if (fd >= 0 && (fstat(fd, st) != 0 || (st->st_dev != outer->device && !CrossMountPoints) ||
                    InChain(outer, st))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

/* Non-zero when the folder `fd` lies on a file system served by a daemon in user space (FUSE:
** ntfs-3g on a rescue system's Windows disk). Its daemon answers one request at a time, and
** whatever the walk asks of it beyond the walker's own open and read waits in that queue behind
** the files fetched ahead: read-ahead there leaves folders unlisted, asks nothing the kernel
** already knows, reads nothing past a file's end, keeps what it fetched across descents, and
** hands every request to the kernel's workers (AheadOpen). Leaving out any one of these rules
** loses most or all of what read-ahead gains there (doc/performance.md, read-ahead). */
static int ServedByDaemon(int fd)
{
    struct statfs fs;
    return fstatfs(fd, &fs) == 0 && fs.f_type == FUSE_SUPER_MAGIC;
}

/* Opens the folder of `pattern` (its first `length` bytes, the separator included; `single`
** the one entry asked for, or null for all) into `folder` as a descriptor, with its stat in
** `st`; with an entry in hand, the folder is that entry, reached through its listing, which
** `*outer` then names. Answers the descriptor, or -1. */
static int OpenPatternFolder(const char *pattern, size_t length, const char *single,
                             char *folder, PosixFind **outer, struct stat *st)
{
    if (InHand.listing != InvalidFindHandle && !single) {
        /* The folder is the entry in hand: its name lies between nameAt and the separator. */
        size_t at = InHand.nameAt;
        if (strncmp(pattern, InHand.path, at) != 0 || length <= at + 1 ||
            memchr(pattern + at, '/', length - 1 - at))
            return -1;
        memcpy(folder, pattern + at, length - 1 - at);
        folder[length - 1 - at] = 0;
        *outer = FindOf(InHand.listing);
        return OpenInside(*outer, folder, st);
    }
    /* "/a/b/" for the pattern "/a/b/" and "*.*", "/" in the root folder, "." for a pattern
    ** without a folder. A path of the caller's own is followed as the caller named it. */
    memcpy(folder, pattern, length);
    if (!length) folder[length++] = '.';
    folder[length] = 0;
    /* A folder that may be searched but not read still holds a file that may be named. */
    int fd = open(folder, (single ? O_PATH : O_RDONLY) | O_DIRECTORY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) NoteOpenFailed(errno);
    if (fd >= 0 && fstat(fd, st) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

/* A listing of the folder open as `fd` (`st` its stat), inside the listing `outer` (or null),
** before its first entry, with the whole buffer for its entries unless it is `single` (which
** reads none); null, with `fd` closed, when there is no memory for it. */
static PosixFind *NewFind(int fd, const struct stat *st, PosixFind *outer, int single)
{
    PosixFind *find = (PosixFind *)malloc(sizeof *find);
    char *entries = 0;
    if (find && !single) {
        entries = outer ? KeepOnlyWhatIsLeft(outer) : 0;
        if (!entries) entries = (char *)malloc(ListingBytes);
    }
    if (!find || (!single && !entries)) {
        free(find);
        close(fd);
        return 0;
    }
    find->entries = entries;
    find->room = entries ? ListingBytes : 0;
    find->fd = fd;
    find->device = st->st_dev;
    find->inode = st->st_ino;
    find->synthetic = 0;
    find->entryRegular = 0;
    find->entrySlot = -1;
    find->aheadFirst = find->aheadCount = 0;
    find->used = find->filled = find->looked = 0;
    find->outer = outer;
    find->inners = 0;
    find->closed = 0;
    if (outer) outer->inners++;
    find->single = 0;
    return find;
}

void PosixPlanReadAhead(const ReadAheadPlan *plan)
{
    AheadPlan(plan);
}

/* The pattern's last component ("*.*") only says "everything": it is cut off and the folder
** before it is listed whole. Any other last component is the one entry listed. */
FindHandle PosixFindFirst(const char *pattern, FindRecord *record)
{
    const char *slash = strrchr(pattern, '/');
    size_t length = slash ? (size_t)(slash - pattern) + 1 : 0;
    const char *single = strcmp(pattern + length, "*.*") != 0 ? pattern + length : 0;
    char folder[PlatformMaxPath];
    if (length >= sizeof folder || (single && (!*single || strlen(single) >= sizeof record->name ||
                                               IsDots(single))))
        return InvalidFindHandle;
    PosixFind *outer = 0;
    struct stat st;
    int fd = OpenPatternFolder(pattern, length, single, folder, &outer, &st);
    if (fd < 0) return InvalidFindHandle;
    PosixFind *find = NewFind(fd, &st, outer, single != 0);
    if (!find) return InvalidFindHandle;
    if (single) {
        find->ahead = 0;
        find->ownsAhead = 0;
        if (!EntryAttributes(find, single, DT_UNKNOWN, record)) {
            PosixFindClose((FindHandle)find);
            return InvalidFindHandle;
        }
        SetName(record, single, strlen(single));
        find->single = 1;
        return (FindHandle)find;
    }
    /* One ring per chain: its outermost listing opens it, inner ones share it. */
    find->ahead = outer ? outer->ahead : AheadOpen(ServedByDaemon(fd));
    find->ownsAhead = !outer && find->ahead;
    if (find->ownsAhead) AheadWarmFrom(find->ahead, fd);
    if (outer && find->ahead) AheadEnter(find->ahead);
    NextEntry(find, record);
    return (FindHandle)find;
}

int PosixFindNext(FindHandle handle, FindRecord *record)
{
    return NextEntry(FindOf(handle), record);
}

/* A listing closed goes once no listing opened from it is left: until then the chain it
** belongs to still names it. The ring goes with the outermost. */
static void Release(PosixFind *find)
{
    while (find && find->closed && !find->inners) {
        PosixFind *outer = find->outer;
        if (outer) outer->inners--;
        if (find->ownsAhead) AheadClose(find->ahead);
        free(find->entries);
        free(find);
        find = outer;
    }
}

/* The entry in hand goes with its listing: nothing may reach a closed folder through it. */
int PosixFindClose(FindHandle handle)
{
    PosixFind *find = FindOf(handle);
    if (InHand.listing == handle) InHand = {InvalidFindHandle, 0, 0, 0, 0, 0, 0};
    GiveBackAhead(find);
    int ok = close(find->fd) == 0;
    find->fd = -1;
    if (find->ahead && !find->ownsAhead) AheadLeave(find->ahead);
    find->closed = 1;
    Release(find);
    return ok;
}
