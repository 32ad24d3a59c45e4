/*
** Read-ahead through io_uring (see readahead_posix.h).
**
** A cold scan waits for the disk at every file: the folder entry's inode, then the first block
** of data, one request at a time, while the disk could serve tens at once. Here each slot
** carries one file through two requests, an open and then a read of the first bytes the plan
** names, and a third where the next region the detector reads begins past them: a read of that
** region, where the detector reads next. The read is asked for only after the descriptor has
** shown itself a regular file, so a device or FIFO put in a file's place is never read. The
** kernel runs what it can at once (everything, when the cache is warm) and the rest in the
** background; completions are taken in whenever the walk calls back into the listing or the
** scan opens a file.
**
** Over a tree the cache already holds, fetching ahead gains nothing and costs a look at every
** file's name (the file taken must still be the one under it) and a read of bytes that the scan
** may not want: a third of a warm scan. So read-ahead rests after a run of files whose open and
** read the kernel answered at once, while taking them in, and then fetches a few files only until
** one of them is missing from the cache: the first file it has to wait for opens the window.
**
** A file system served by a daemon in user space (FUSE: ntfs-3g) answers one request at a time.
** There the ring would open each file inline, on the scan's own thread, waiting for the daemon,
** and take that for an answer from the cache. So there every request goes to the kernel's
** workers, which keep the daemon's queue full while the scan works, and read-ahead never rests.
**
** Descriptors are counted as slots take them: a file from the moment its open is asked for
** (the kernel may open it any time after) until the scan takes it or it is closed, a folder
** descriptor of an inode fetch until its request completes. A slot asks for one only while the
** count, with the listings opened inside since the ring was made, stays below what the soft
** limit left beside the reserve then.
*/
#include "platform/readahead_posix.h"
#include "platform/platform_hooks.h"
#include "platform/posix.h"

#include <atomic>
#include <new>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static std::atomic<int> aheadMode{ReadAheadOn};
static std::atomic<uint32_t> aheadTaken{0};

void PosixSetReadAhead(int mode)
{
    aheadMode.store(mode);
}

uint32_t PosixReadAheadTaken(void)
{
    return aheadTaken.load();
}

int PosixReadAheadAvailable(void)
{
    Ahead *ahead = AheadOpen(0);
    int available = ahead != 0;
    AheadClose(ahead);
    return available;
}

#ifndef KRV_HAVE_LIBURING

Ahead *AheadOpen(int) { return 0; }
int AheadListsFolders(Ahead *) { return 0; }
void AheadClose(Ahead *) {}
int AheadEntry(Ahead *, int, const char *, int) { return -1; }
int AheadInode(Ahead *, int, const char *) { return 0; }
void AheadPoll(Ahead *) {}
unsigned AheadWanted(Ahead *) { return 0; }
int AheadTake(Ahead *, int, struct stat *) { return -1; }
void AheadDrop(Ahead *, int) {}
unsigned AheadRoom(Ahead *) { return 0; }
unsigned AheadHolding(Ahead *) { return 0; }
void AheadEnter(Ahead *) {}
void AheadLeave(Ahead *) {}
void AheadSettle(Ahead *) {}
void AheadWarmFrom(Ahead *, int) {}
void AheadPassed(Ahead *) {}
uint32_t AheadWarmerListed(void) { return 0; }

#else

#include <dirent.h>
#include <liburing.h>
#include <limits.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/uio.h>

enum SlotState { SlotFree, SlotBusy, SlotReady, SlotFailed };
enum Request { RequestNone, RequestOpen, RequestRead, RequestSection, RequestStatx };

struct AheadSlot {
    SlotState state;
    Request request;     /* the request under way, or RequestNone */
    int dropped;         /* nobody will take it: released when its request completes */
    int ownFolder;       /* the folder descriptor an inode fetch owns, or -1 */
    int counted;         /* it has a descriptor, or will have, counted in `holding` */
    int fd;              /* what the open gave, until taken or closed */
    unsigned round;      /* the hand-over that took its request to the kernel */
    unsigned asked;      /* its requests so far: the open, the read, the read of a section */
    unsigned cached;     /* those of them the kernel answered at once */
    struct stat st;
    char name[256];
    uint8_t *data;             /* the plan's bytes, from the slot's first file to the ring's end */
    uint32_t capacity;         /* bytes at `data` */
    struct statx inode;        /* an inode fetched only to have it in memory */
};

struct Ahead {
    struct io_uring ring;
    unsigned waiting;    /* requests prepared and not yet handed to the kernel */
    unsigned underway;   /* requests handed over and not yet completed */
    unsigned round;      /* hand-overs so far */
    unsigned cachedRun;  /* files taken in a row that the cache held whole */
    unsigned missedRun;  /* files taken in a row that it did not */
    unsigned resting;    /* entries still to be given before fetching ahead again */
    int rests;           /* whether it rests at all: with ReadAheadOn, and not when queued */
    int probing;         /* fetching a few files only, to see whether the cache holds them */
    int queued;          /* every request goes to the kernel's workers (AheadOpen's `daemon`) */
    unsigned spare;      /* descriptors it and the listings opened inside may hold together */
    unsigned holding;    /* descriptors its slots hold or have asked for */
    unsigned inside;     /* listings of the walk opened inside since the ring was made */
    struct Warmer *warmer;   /* or null */
    int warmFolder;      /* the folder of a warmer not started yet, open; or -1 */
    uint64_t passed;     /* entries the walk has been given (AheadPassed) */
    AheadSlot slots[AheadSlots];
};

/* A free slot goes back to the pool; its descriptor, if nobody took it, is closed. */
static void Release(Ahead *ahead, AheadSlot *slot)
{
    if (slot->fd >= 0) close(slot->fd);
    if (slot->ownFolder >= 0) close(slot->ownFolder);
    slot->fd = slot->ownFolder = -1;
    ahead->holding -= slot->counted;
    slot->counted = 0;
    slot->state = SlotFree;
    slot->request = RequestNone;
    slot->dropped = 0;
}

/* Hands the waiting requests to the kernel; non-zero when it took some. */
static int Submit(Ahead *ahead)
{
    if (!ahead->waiting) return 0;
    int sent = io_uring_submit(&ahead->ring);
    if (sent <= 0) return 0;
    ahead->waiting -= (unsigned)sent < ahead->waiting ? (unsigned)sent : ahead->waiting;
    ahead->underway += (unsigned)sent;
    ahead->round++;
    return 1;
}

/* A submission entry for `slot`; full queues are handed over first. Null only when the kernel
** takes nothing (then the slot fails and the scan opens the file itself). */
static struct io_uring_sqe *Prepare(Ahead *ahead, AheadSlot *slot, Request request)
{
    struct io_uring_sqe *sqe = io_uring_get_sqe(&ahead->ring);
    if (!sqe) {
        Submit(ahead);
        sqe = io_uring_get_sqe(&ahead->ring);
    }
    if (!sqe) return 0;
    io_uring_sqe_set_data64(sqe, (uint64_t)(slot - ahead->slots));
    if (ahead->queued) io_uring_sqe_set_flags(sqe, IOSQE_ASYNC);
    slot->request = request;
    slot->round = ahead->round;
    slot->asked++;
    ahead->waiting++;
    return sqe;
}

/* What is fetched of each file; the first page until a scan says what its detector reads. */
static ReadAheadPlan Plan = {AheadHeadFirst, 0, nullptr};

void AheadPlan(const ReadAheadPlan *plan)
{
    Plan = *plan;
    if (Plan.headBytes > AheadHeadMost) Plan.headBytes = AheadHeadMost;
    if (Plan.regionBytes > AheadHeadMost) Plan.regionBytes = AheadHeadMost;
}

/* Where the next region the detector reads begins, past the file's first `got` bytes; 0 when
** it lies within them or nowhere the plan knows. */
static uint32_t RegionPast(const uint8_t *data, uint32_t got)
{
    return Plan.regionPast && Plan.regionBytes ? Plan.regionPast(data, got) : 0;
}

/* `fresh`: the round whose requests, complete already, the kernel answered while taking them,
** from its caches; or ~0u. */
static void Completed(Ahead *ahead, AheadSlot *slot, int result, unsigned fresh)
{
    Request request = slot->request;
    if (slot->round == fresh) slot->cached++;
    slot->request = RequestNone;
    ahead->underway--;
    if (request == RequestOpen && result >= 0) slot->fd = result;
    if (slot->dropped || request == RequestStatx) {
        Release(ahead, slot);
        return;
    }
    if (result < 0) {
        Release(ahead, slot);
        slot->state = SlotFailed;
        return;
    }
    if (request == RequestRead) {
        /* A program's first section usually lies past its headers: the detector reads there
        ** next, so that is fetched too, into the same buffer (what was read is not kept), and
        ** no further than the end the kernel knows. Not through a daemon, which was measured
        ** only without it. */
        uint32_t section = ahead->queued ? 0 : RegionPast(slot->data, (uint32_t)result);
        off_t left = slot->st.st_size - (off_t)section;
        struct io_uring_sqe *sqe;
        if (section && left > 0 && (sqe = Prepare(ahead, slot, RequestSection)))
            io_uring_prep_read(sqe, slot->fd, slot->data,
                               left < (off_t)Plan.regionBytes ? (unsigned)left : Plan.regionBytes,
                               section);
        else
            slot->state = SlotReady;
        return;
    }
    if (request == RequestSection) {
        slot->state = SlotReady;
        return;
    }
    /* Opened: nothing is read from anything but a regular file. */
    struct io_uring_sqe *sqe;
    if (!KnownFacts(slot->fd, "", &slot->st) || !S_ISREG(slot->st.st_mode) ||
        !(sqe = Prepare(ahead, slot, RequestRead))) {
        Release(ahead, slot);
        slot->state = SlotFailed;
        return;
    }
    /* Never past the end the kernel knows: through FUSE a read past it asks the daemon for the
    ** file's attributes again, a request of its own for every small file. */
    off_t size = slot->st.st_size;
    io_uring_prep_read(sqe, slot->fd, slot->data,
                       size >= 0 && size < (off_t)Plan.headBytes ? (unsigned)size : Plan.headBytes,
                       0);
}

/* Takes in every completion there is; with `wait`, first hands the waiting requests over and
** waits for one. 0 when the ring refuses to wait: nothing under way can then be counted on. */
static int Reap(Ahead *ahead, int wait, unsigned fresh)
{
    struct io_uring_cqe *cqe;
    if (wait) {
        Submit(ahead);
        if (!ahead->underway) return 0;   /* nothing that could complete: never wait forever */
        int waited;
        do waited = io_uring_wait_cqe(&ahead->ring, &cqe);
        while (waited == -EINTR);
        if (waited < 0) return 0;
    }
    while (io_uring_peek_cqe(&ahead->ring, &cqe) == 0) {
        uint64_t index = io_uring_cqe_get_data64(cqe);
        int result = cqe->res;
        io_uring_cqe_seen(&ahead->ring, cqe);
        if (index < AheadSlots) Completed(ahead, &ahead->slots[index], result, fresh);
    }
    return 1;
}

/* The descriptors open in this process, by /proc; -1 when they cannot be counted. */
static long DescriptorsOpen(void)
{
    alignas(8) char entries[4096];
    int fd = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    long count = -3;   /* ".", ".." and the descriptor that reads them */
    ssize_t got;
    while ((got = getdents64(fd, entries, sizeof entries)) > 0)
        for (ssize_t at = 0; at < got; at += ((const struct dirent64 *)(entries + at))->d_reclen)
            count++;
    close(fd);
    return got < 0 || count < 0 ? -1 : count;
}

/* What the soft limit leaves to read-ahead and to the listings opened inside the ring's, beside
** the descriptors open now, the ring's own and the reserve; 0 when nothing is left. */
static unsigned SpareDescriptors(void)
{
    struct rlimit limit;
    long open = DescriptorsOpen();
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || open < 0) return 0;
    rlim_t soft = limit.rlim_cur, used = (rlim_t)open + 1 + AheadReserve;
    if (soft == RLIM_INFINITY || soft > (1u << 30)) soft = 1u << 30;
    return soft > used ? (unsigned)(soft - used) : 0;
}

/* ---- The warmer ------------------------------------------------------------------------------
**
** The ring fetches within one listing: at the end of a folder it has nothing left to ask for, and
** the next folder begins with every request still to make, while the disk waits: without more,
** it stands idle for much of a cold scan. The warmer is a thread that walks the same tree
** in the same order as the walk (each folder listed from its start, folders entered where the
** listing names them), up to AheadLead entries ahead of it, and asks the kernel to read the
** first AheadWarmBytes of each regular file more than AheadWindow entries ahead (nearer ones are
** the ring's): the kernel reads them in the background, and the warmer goes on at once.
**
** It decides nothing and hands nothing over: no descriptor, no byte and no listing of it reaches
** the walk, which lists, opens and reads everything itself; if the tree changes under both, the
** warmer only warms the wrong files. It follows the rules of the walk's own opens: no link
** followed (O_NOFOLLOW, on every folder it enters, one at a time), no other file system entered,
** nothing but a regular file read, and never blocking on a FIFO put in a file's place. It holds
** at most WarmerDepth folders and WarmerPending + 1 files open, counted among what read-ahead
** holds; it stops for good, giving them back, as soon as the walk needs them (AheadEnter,
** AheadSettle). It starts only once files made the ring wait (AheadWarmFrom).
**
** Over a tree the cache already holds it costs a second processor's time for nothing: every
** WarmerSample files it looks whether the first page is there (a read that may not wait), and
** after WarmerCachedRun such files in a row it ends, and the ring's own resting decides from
** then on. Only files the ring cannot have fetched count (see WarmerRun). It shares with the
** walk two counters and two flags, and a lock only to sleep while it is AheadLead entries
** ahead. */
struct WarmerLevel {
    int fd;
    uint32_t filled, used;
    uint64_t enteredAt;              /* the walk is in the folder once it has passed this many */
    alignas(8) char entries[4096];
};

struct Warmer {
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t moved;
    std::atomic<int> stop;
    std::atomic<int> warm;           /* it found the tree in the cache, and ended */
    int rests;                       /* it may end so (read-ahead that rests) */
    std::atomic<uint64_t> passed;    /* entries the walk has been given */
    std::atomic<uint64_t> wakeAt;    /* `passed` that wakes it while it sleeps; ~0 otherwise */
    std::atomic<unsigned> walkDepth; /* folders the walk is in, the ring's own counted */
    uint64_t reached;                /* entries it has come to (its own thread only) */
    dev_t device;
    unsigned depth;
    unsigned pendingFirst, pendingCount;
    unsigned looked;                 /* files it came to, for WarmerSample */
    int pending[WarmerPending];      /* files asked for, whose headers it reads later */
    struct io_uring probes;          /* its look-ups of folders ahead, when `looking` */
    int looking;
    unsigned probing;                /* look-ups under way */
    WarmerLevel levels[WarmerDepth];
    uint8_t header[AheadHeadMost];   /* last: nothing of the struct lies past it */
};

static std::atomic<uint32_t> warmerListed{0};

uint32_t AheadWarmerListed(void)
{
    return warmerListed.load();
}

/* Sleeps while it is AheadLead entries or more ahead of the walk, until half of that is left. */
static void KeepBehind(Warmer *w)
{
    if (w->reached < w->passed.load() + AheadLead) return;
    uint64_t target = w->reached - AheadLead / 2;
    pthread_mutex_lock(&w->lock);
    w->wakeAt.store(target);
    while (!w->stop.load() && w->passed.load() < target) pthread_cond_wait(&w->moved, &w->lock);
    w->wakeAt.store(~(uint64_t)0);
    pthread_mutex_unlock(&w->lock);
}

/* Reads what of the file's first bytes the plan names is in the cache, without waiting, and
** when they say that the next region the detector reads begins past them, has the kernel read
** that region too. Closes the file. */
static void WarmSection(Warmer *w, int fd)
{
    struct iovec all = {w->header, Plan.headBytes};
    ssize_t got = preadv2(fd, &all, 1, 0, RWF_NOWAIT);
    uint32_t section = got > 0 ? RegionPast(w->header, (uint32_t)got) : 0;
    if (section) posix_fadvise(fd, section, Plan.regionBytes, POSIX_FADV_WILLNEED);
    close(fd);
}

/* Has the kernel read the first AheadWarmBytes of the regular file `name` of `folder`, and,
** every WarmerSample files, first looks whether the first page is in the cache already. Answers
** 1 when it looked and found it there, 0 when it looked and did not, 2 when it did not look, -1
** when it is no regular file or cannot be opened. A file longer than that waits among the
** pending ones until its headers have had time to arrive (WarmSection); the oldest makes room
** when they are full. */
static int Warm(Warmer *w, int folder, const char *name)
{
    int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (!KnownFacts(fd, "", &st) || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    int found = 2;
    if (w->looked++ % WarmerSample == 0) {
        char byte;
        struct iovec one = {&byte, 1};
        found = st.st_size == 0 || preadv2(fd, &one, 1, 0, RWF_NOWAIT) >= 0;
    }
    if (found != 1) posix_fadvise(fd, 0, AheadWarmBytes, POSIX_FADV_WILLNEED);
    if (st.st_size <= (off_t)AheadWarmBytes) {
        close(fd);
    } else if (found == 1) {
        WarmSection(w, fd);
    } else {
        if (w->pendingCount == WarmerPending) {
            WarmSection(w, w->pending[w->pendingFirst]);
            w->pendingFirst = (w->pendingFirst + 1) % WarmerPending;
            w->pendingCount--;
        }
        w->pending[(w->pendingFirst + w->pendingCount++) % WarmerPending] = fd;
    }
    return found;
}

/* Enters the folder `name` of `folder` unless it is a link, lies on another file system or is
** deeper than WarmerDepth (its files are then left to the ring). */
static void Descend(Warmer *w, int folder, const char *name)
{
    if (w->depth == WarmerDepth) return;
    int fd = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                      O_CLOEXEC);
    struct stat st;
    if (fd < 0) return;
    if (fstat(fd, &st) != 0 || st.st_dev != w->device) {
        close(fd);
        return;
    }
    WarmerLevel *level = &w->levels[w->depth++];
    level->fd = fd;
    level->filled = level->used = 0;
    level->enteredAt = w->reached;
    warmerListed.fetch_add(1, std::memory_order_relaxed);
}

/* Takes in the look-ups that have completed (with `wait`, at least one unless the ring refuses
** to wait); a name that was there after all was opened (O_PATH), and is closed. Answers how many
** it took in. */
static unsigned ReapLookups(Warmer *w, int wait)
{
    struct io_uring_cqe *cqe;
    unsigned taken = 0;
    if (wait && w->probing && io_uring_wait_cqe(&w->probes, &cqe) != 0) return 0;
    while (io_uring_peek_cqe(&w->probes, &cqe) == 0) {
        if (cqe->res >= 0) close(cqe->res);
        io_uring_cqe_seen(&w->probes, cqe);
        w->probing--;
        taken++;
    }
    return taken;
}

/* The folders among the entries just listed: the kernel's workers look up a name in each that
** is not there (its first byte 1), which brings the folder's inode and entries into memory
** before the warmer comes to it, instead of making it wait there. The look-up follows no link,
** crosses no mount and goes nowhere but into that folder. */
static void LookAhead(Warmer *w, WarmerLevel *level)
{
    static const struct open_how how = {O_PATH | O_NOFOLLOW | O_CLOEXEC, 0,
                                        RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV};
    if (!w->looking) return;
    ReapLookups(w, 0);
    for (uint32_t at = 0; at < level->filled;) {
        const struct dirent64 *entry = (const struct dirent64 *)(level->entries + at);
        at += entry->d_reclen;
        const char *name = entry->d_name;
        if (entry->d_type != DT_DIR || IsDots(name)) continue;
        char path[sizeof entry->d_name + 2];
        size_t length = strlen(name);
        memcpy(path, name, length);
        memcpy(path + length, "/\x01", 3);
        /* Never waited for: with all under way, the other folders are not looked up. */
        if (w->probing == WarmerLookups && !ReapLookups(w, 0)) break;
        struct io_uring_sqe *sqe = io_uring_get_sqe(&w->probes);
        if (!sqe) break;
        io_uring_prep_openat2(sqe, level->fd, path, (struct open_how *)&how);
        if (io_uring_submit(&w->probes) != 1) break;
        w->probing++;
    }
}

static void *WarmerRun(void *arg)
{
    Warmer *w = (Warmer *)arg;
    unsigned cachedRun = 0;
    w->probing = 0;
    w->looking = io_uring_queue_init(WarmerLookups, &w->probes, 0) == 0;
    while (w->depth && !w->stop.load(std::memory_order_relaxed)) {
        WarmerLevel *level = &w->levels[w->depth - 1];
        if (level->used >= level->filled) {
            ssize_t got = getdents64(level->fd, level->entries, sizeof level->entries);
            if (got <= 0) {
                close(level->fd);
                w->depth--;
                continue;
            }
            level->filled = (uint32_t)got;
            level->used = 0;
            LookAhead(w, level);
        }
        const struct dirent64 *entry = (const struct dirent64 *)(level->entries + level->used);
        level->used += entry->d_reclen;
        const char *name = entry->d_name;
        if (IsDots(name)) continue;
        w->reached++;
        KeepBehind(w);
        if (entry->d_type == DT_DIR) {
            Descend(w, level->fd, name);
            continue;
        }
        if (entry->d_type != DT_REG || w->reached <= w->passed.load() + AheadWindow) continue;
        int found = Warm(w, level->fd, name);
        /* Only a file the ring cannot have fetched says what the cache holds: one in a folder
        ** the walk has not come to, or in the folder it lists (the ring fetches no further
        ** there than the warmer begins). In the folders around that one the ring keeps what it
        ** fetched past the folder the walk went down into. */
        if (found < 0 || found == 2 || (w->passed.load() >= level->enteredAt &&
                                        w->walkDepth.load(std::memory_order_relaxed) != w->depth))
            continue;
        cachedRun = found ? cachedRun + 1 : 0;
        if (w->rests && cachedRun >= WarmerCachedRun) {
            w->warm.store(1);   /* nothing left to do: the walk stops it */
            break;
        }
    }
    while (w->depth) close(w->levels[--w->depth].fd);
    for (unsigned i = 0; i < w->pendingCount; i++)
        close(w->pending[(w->pendingFirst + i) % WarmerPending]);
    if (w->looking) {
        while (w->probing && ReapLookups(w, 1)) {}
        io_uring_queue_exit(&w->probes);
    }
    return 0;
}

/* Stops the warmer, if any, for good: its descriptors are closed when this returns. */
static void StopWarmer(Ahead *ahead)
{
    if (ahead->warmFolder >= 0) {
        close(ahead->warmFolder);
        ahead->warmFolder = -1;
        ahead->holding--;
    }
    Warmer *w = ahead->warmer;
    if (!w) return;
    w->stop.store(1);
    pthread_mutex_lock(&w->lock);
    pthread_cond_signal(&w->moved);
    pthread_mutex_unlock(&w->lock);
    pthread_join(w->thread, 0);
    pthread_cond_destroy(&w->moved);
    pthread_mutex_destroy(&w->lock);
    free(w);
    ahead->warmer = 0;
    ahead->holding -= WarmerDescriptors;
}

/* Starts the warmer over the folder kept for it; without room or memory for it, there will be
** none in this walk. */
static void StartWarmer(Ahead *ahead)
{
    int fd = ahead->warmFolder;
    struct stat st;
    Warmer *w = 0;
    if (AheadRoom(ahead) >= WarmerDescriptors && fstat(fd, &st) == 0)
        w = (Warmer *)malloc(sizeof *w);
    if (!w) {
        StopWarmer(ahead);
        return;
    }
    new (&w->stop) std::atomic<int>(0);
    new (&w->warm) std::atomic<int>(0);
    new (&w->passed) std::atomic<uint64_t>(ahead->passed);
    new (&w->wakeAt) std::atomic<uint64_t>(~(uint64_t)0);
    new (&w->walkDepth) std::atomic<unsigned>(ahead->inside + 1);
    w->reached = 0;
    w->rests = ahead->rests;
    w->pendingFirst = w->pendingCount = w->looked = 0;
    w->device = st.st_dev;
    w->depth = 1;
    w->levels[0].fd = fd;
    w->levels[0].filled = w->levels[0].used = 0;
    w->levels[0].enteredAt = 0;
    pthread_mutex_init(&w->lock, 0);
    pthread_cond_init(&w->moved, 0);
    /* Signals are the walk's: the warmer takes none. Its stack holds a few calls' locals. */
    sigset_t all, before;
    sigfillset(&all);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, PTHREAD_STACK_MIN + 65536);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    int started = pthread_create(&w->thread, &attributes, WarmerRun, w) == 0;
    pthread_sigmask(SIG_SETMASK, &before, 0);
    pthread_attr_destroy(&attributes);
    if (!started) {
        pthread_cond_destroy(&w->moved);
        pthread_mutex_destroy(&w->lock);
        free(w);
        StopWarmer(ahead);
        return;
    }
    ahead->warmFolder = -1;      /* the warmer's now */
    ahead->holding--;
    ahead->warmer = w;
    ahead->holding += WarmerDescriptors;
}

void AheadWarmFrom(Ahead *ahead, int folder)
{
    if (!ahead || ahead->queued || ahead->warmer || ahead->warmFolder >= 0 ||
        AheadRoom(ahead) <= WarmerDescriptors)
        return;
    /* A descriptor of its own, whose listing does not move the walk's. */
    ahead->warmFolder =
        openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (ahead->warmFolder < 0) return;
    ahead->holding++;
    /* Only AheadCachedRun files in a row that the kernel had to wait for start it: a process
    ** that starts a thread stays slower for good at memory and output (the C library's locks),
    ** which over a tree the cache holds would be all it brought (and there a file or two that
    ** the kernel answers later is no sign). Read-ahead that never rests starts it at once. */
    if (!ahead->rests) StartWarmer(ahead);
}

void AheadPassed(Ahead *ahead)
{
    ahead->passed++;
    Warmer *w = ahead->warmer;
    if (!w) return;
    uint64_t passed = w->passed.fetch_add(1) + 1;
    if (passed < w->wakeAt.load()) return;
    pthread_mutex_lock(&w->lock);
    pthread_cond_signal(&w->moved);
    pthread_mutex_unlock(&w->lock);
}

Ahead *AheadOpen(int daemon)
{
    int mode = aheadMode.load();
    if (mode == ReadAheadOff) return 0;
    /* At a small limit every descriptor goes to the walk: not even the ring takes one. */
    unsigned spare = SpareDescriptors();
    if (!spare) return 0;
    Ahead *ahead = (Ahead *)malloc(sizeof *ahead);
    if (!ahead) return 0;
    /* Every slot has one request at most: the queues never overflow. */
    if (io_uring_queue_init(AheadSlots, &ahead->ring, 0) != 0) {
        free(ahead);
        return 0;
    }
    struct io_uring_probe *probe = io_uring_get_probe_ring(&ahead->ring);
    int usable = probe && io_uring_opcode_supported(probe, IORING_OP_OPENAT) &&
                 io_uring_opcode_supported(probe, IORING_OP_READ) &&
                 io_uring_opcode_supported(probe, IORING_OP_STATX);
    if (probe) io_uring_free_probe(probe);
    if (!usable) {
        io_uring_queue_exit(&ahead->ring);
        free(ahead);
        return 0;
    }
    ahead->waiting = ahead->underway = ahead->round = ahead->cachedRun = ahead->resting = 0;
    ahead->missedRun = 0;
    ahead->queued = daemon || mode == ReadAheadQueued;
    ahead->rests = ahead->probing = mode == ReadAheadOn && !ahead->queued;
    ahead->spare = spare;
    ahead->holding = ahead->inside = 0;
    ahead->warmer = 0;
    ahead->warmFolder = -1;
    ahead->passed = 0;
    for (AheadSlot &slot : ahead->slots) {
        slot.fd = slot.ownFolder = -1;
        slot.counted = 0;
        slot.data = 0;
        slot.capacity = 0;
        Release(ahead, &slot);
    }
    return ahead;
}

void AheadSettle(Ahead *ahead)
{
    StopWarmer(ahead);
    while (ahead->underway || ahead->waiting)
        if (!Reap(ahead, 1, ~0u)) break;
}

void AheadClose(Ahead *ahead)
{
    if (!ahead) return;
    /* A ring that stops answering leaves descriptors that only the end of the process closes;
    ** its buffers are then left to it too, as the kernel may still write into them. */
    AheadSettle(ahead);
    if (ahead->underway) return;
    for (AheadSlot &slot : ahead->slots) {
        Release(ahead, &slot);
        free(slot.data);
    }
    io_uring_queue_exit(&ahead->ring);
    free(ahead);
}

int AheadListsFolders(Ahead *ahead)
{
    return !ahead->queued && !ahead->warmer;
}

unsigned AheadRoom(Ahead *ahead)
{
    unsigned used = ahead->holding + ahead->inside;
    return ahead->spare > used ? ahead->spare - used : 0;
}

unsigned AheadHolding(Ahead *ahead)
{
    return ahead->holding;
}

void AheadEnter(Ahead *ahead)
{
    ahead->inside++;
    if (ahead->warmer) ahead->warmer->walkDepth.store(ahead->inside + 1, std::memory_order_relaxed);
    if ((ahead->warmer || ahead->warmFolder >= 0) && !AheadRoom(ahead)) StopWarmer(ahead);
}

void AheadLeave(Ahead *ahead)
{
    if (ahead->inside) ahead->inside--;
    if (ahead->warmer) ahead->warmer->walkDepth.store(ahead->inside + 1, std::memory_order_relaxed);
}

int AheadEntry(Ahead *ahead, int folder, const char *name, int isFolder)
{
    size_t length = strlen(name);
    if (length >= sizeof ahead->slots[0].name || (!isFolder && !AheadRoom(ahead))) return -1;
    for (int i = 0; i < AheadSlots; i++) {
        AheadSlot *slot = &ahead->slots[i];
        if (slot->state != SlotFree) continue;
        /* Buffers are taken as slots are first used: a walk that never has many files under
        ** way at once never holds the memory for many. */
        uint32_t bytes = Plan.headBytes > Plan.regionBytes ? Plan.headBytes : Plan.regionBytes;
        if (!isFolder && slot->capacity < bytes) {
            free(slot->data);
            slot->capacity = (slot->data = (uint8_t *)malloc(bytes)) ? bytes : 0;
            if (!slot->data) return -1;
        }
        slot->cached = slot->asked = 0;
        struct io_uring_sqe *sqe = Prepare(ahead, slot, isFolder ? RequestStatx : RequestOpen);
        if (!sqe) return -1;
        memcpy(slot->name, name, length + 1);
        slot->state = SlotBusy;
        slot->counted = !isFolder;
        ahead->holding += slot->counted;
        if (isFolder)
            io_uring_prep_statx(sqe, folder, slot->name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS,
                                &slot->inode);
        else
            io_uring_prep_openat(sqe, folder, slot->name,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
        return i;
    }
    return -1;
}

int AheadInode(Ahead *ahead, int folder, const char *name)
{
    /* The request runs later, maybe in a kernel worker, and finds the folder by its number then:
    ** the slot keeps a number of its own that nobody closes or reuses meanwhile. */
    if (!AheadRoom(ahead)) return 0;
    int own = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return 0;
    int slot = AheadEntry(ahead, own, name, 1);
    if (slot < 0) {
        close(own);
        return 0;
    }
    ahead->slots[slot].ownFolder = own;
    ahead->slots[slot].counted = 1;
    ahead->holding++;
    return 1;
}

void AheadPoll(Ahead *ahead)
{
    if (!ahead->waiting && !ahead->underway) return;   /* resting: nothing to look at */
    Reap(ahead, 0, Submit(ahead) ? ahead->round - 1 : ~0u);
    /* The reads of files whose open has just completed. */
    Reap(ahead, 0, Submit(ahead) ? ahead->round - 1 : ~0u);
}

unsigned AheadWanted(Ahead *ahead)
{
    /* While the warmer works, it makes every file look cached to the ring: the ring fetches
    ** on. Once it found the tree in the cache, the ring decides again from what it finds. */
    if (ahead->warmer && ahead->warmer->warm.load(std::memory_order_relaxed)) StopWarmer(ahead);
    if (ahead->warmer) return AheadWindow;
    if (ahead->resting) {
        ahead->resting--;
        return 0;
    }
    return ahead->probing ? AheadProbe : AheadWindow;
}

int AheadTake(Ahead *ahead, int slot, struct stat *st)
{
    AheadSlot *s = &ahead->slots[slot];
    /* A request still waiting here (the read of a section, asked once the headers were in)
    ** goes to the kernel as AheadPoll hands it: what it answers at once came from the cache,
    ** and a tree the cache holds is not taken for one it does not. */
    for (int i = 0; i < 2 && s->state == SlotBusy && Submit(ahead); i++)
        Reap(ahead, 0, ahead->round - 1);
    while (s->state == SlotBusy)
        if (!Reap(ahead, 1, ~0u)) return -1;
    if (s->state != SlotReady || s->fd < 0) return -1;
    int fd = s->fd;
    s->fd = -1;
    ahead->holding -= s->counted;   /* the caller's from now on */
    s->counted = 0;
    *st = s->st;
    aheadTaken.fetch_add(1, std::memory_order_relaxed);
    /* A tree the cache holds gains nothing from read-ahead, which then only adds its own
    ** requests to the scan's: after a run of such files it rests for a while, and whatever
    ** it then finds missing from the cache starts it again at once. */
    ahead->cachedRun = s->cached == s->asked ? ahead->cachedRun + 1 : 0;
    ahead->missedRun = ahead->cachedRun ? 0 : ahead->missedRun + 1;
    if (ahead->missedRun >= AheadCachedRun && ahead->warmFolder >= 0) StartWarmer(ahead);
    if (!ahead->cachedRun) ahead->probing = 0;
    if (ahead->rests && !ahead->warmer && ahead->cachedRun >= AheadCachedRun) {
        ahead->cachedRun = 0;
        ahead->resting = AheadRest;
        ahead->probing = 1;
    }
    return fd;
}

void AheadDrop(Ahead *ahead, int slot)
{
    AheadSlot *s = &ahead->slots[slot];
    if (s->state == SlotFree) return;
    if (s->request != RequestNone)
        s->dropped = 1;
    else
        Release(ahead, s);
}

#endif
