/*
** Read-ahead through io_uring (see readahead_posix.h).
**
** A cold scan waits for the disk at every file: the folder entry's inode, then the first block
** of data, one request at a time, while the disk could serve tens at once. Here each slot
** carries one file through two requests, an open and then a read of its first AheadBytes; the
** read is asked for only after the descriptor has shown itself a regular file, so a device
** or FIFO put in a file's place is never read. The kernel runs what it can at once (everything,
** when the cache is warm) and the rest in the background; completions are taken in whenever the
** walk calls back into the listing or the scan opens a file.
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

#else

#include <dirent.h>
#include <liburing.h>
#include <sys/resource.h>

enum SlotState { SlotFree, SlotBusy, SlotReady, SlotFailed };
enum Request { RequestNone, RequestOpen, RequestRead, RequestStatx };

struct AheadSlot {
    SlotState state;
    Request request;     /* the request under way, or RequestNone */
    int dropped;         /* nobody will take it: released when its request completes */
    int ownFolder;       /* the folder descriptor an inode fetch owns, or -1 */
    int counted;         /* it has a descriptor, or will have, counted in `holding` */
    int fd;              /* what the open gave, until taken or closed */
    unsigned round;      /* the hand-over that took its request to the kernel */
    unsigned cached;     /* its open and read that the kernel answered at once: 0 to 2 */
    struct stat st;
    char name[256];
    uint8_t *data;             /* AheadBytes, from the slot's first file to the ring's end */
    struct statx inode;        /* an inode fetched only to have it in memory */
};

struct Ahead {
    struct io_uring ring;
    unsigned waiting;    /* requests prepared and not yet handed to the kernel */
    unsigned underway;   /* requests handed over and not yet completed */
    unsigned round;      /* hand-overs so far */
    unsigned cachedRun;  /* files taken in a row that the cache held whole */
    unsigned resting;    /* entries still to be given before fetching ahead again */
    int rests;           /* whether it rests at all: with ReadAheadOn, and not when queued */
    int probing;         /* fetching a few files only, to see whether the cache holds them */
    int queued;          /* every request goes to the kernel's workers (AheadOpen's `daemon`) */
    unsigned spare;      /* descriptors it and the listings opened inside may hold together */
    unsigned holding;    /* descriptors its slots hold or have asked for */
    unsigned inside;     /* listings of the walk opened inside since the ring was made */
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
    ahead->waiting++;
    return sqe;
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
                       size >= 0 && size < (off_t)AheadBytes ? (unsigned)size : AheadBytes, 0);
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
    ahead->queued = daemon || mode == ReadAheadQueued;
    ahead->rests = ahead->probing = mode == ReadAheadOn && !ahead->queued;
    ahead->spare = spare;
    ahead->holding = ahead->inside = 0;
    for (AheadSlot &slot : ahead->slots) {
        slot.fd = slot.ownFolder = -1;
        slot.counted = 0;
        slot.data = 0;
        Release(ahead, &slot);
    }
    return ahead;
}

void AheadSettle(Ahead *ahead)
{
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
    return !ahead->queued;
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
}

void AheadLeave(Ahead *ahead)
{
    if (ahead->inside) ahead->inside--;
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
        if (!isFolder && !slot->data && !(slot->data = (uint8_t *)malloc(AheadBytes))) return -1;
        struct io_uring_sqe *sqe = Prepare(ahead, slot, isFolder ? RequestStatx : RequestOpen);
        if (!sqe) return -1;
        memcpy(slot->name, name, length + 1);
        slot->state = SlotBusy;
        slot->cached = 0;
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
    if (ahead->resting) {
        ahead->resting--;
        return 0;
    }
    return ahead->probing ? AheadProbe : AheadWindow;
}

int AheadTake(Ahead *ahead, int slot, struct stat *st)
{
    AheadSlot *s = &ahead->slots[slot];
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
    ahead->cachedRun = s->cached == 2 ? ahead->cachedRun + 1 : 0;
    if (!ahead->cachedRun) ahead->probing = 0;
    if (ahead->rests && ahead->cachedRun >= AheadCachedRun) {
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
