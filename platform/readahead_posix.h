/*
** Read-ahead for the POSIX listing: while the scan works on one file, the kernel already opens
** and reads the next files of the folder being listed, many requests at once, through one
** io_uring per walk, and a program's first section where that lies past what was read; the
** inodes of the first files of the next folders the listing holds are fetched the same way,
** once the listing has read those folders ahead. On a local file system a second thread, the
** warmer, walks the tree ahead of the walk, beyond the folder being listed, and has the kernel
** read the start of the files it finds there. Nothing here decides what the scan sees: a file
** fetched ahead is handed to openFile only when its name still leads to it (posix_listing.cpp),
** and everything else takes the path it takes without read-ahead.
**
** What is fetched ahead is only read, under the rules of the scan's own open: no link followed
** (O_NOFOLLOW), never blocking (O_NONBLOCK, so a FIFO put in a file's place opens empty), no
** terminal taken (O_NOCTTY), and not a byte read before the descriptor shows a regular file.
** Memory is AheadSlots slots of fixed size per walk at most, whatever the folders hold; a slot's
** buffer is taken when the slot is first used.
**
** Descriptors: a file fetched ahead is an open descriptor until the scan takes it, and the walk
** needs one per folder level besides what the workflow opens. Read-ahead holds no more than the
** soft limit (RLIMIT_NOFILE) leaves once the descriptors open when the ring was made, the
** listings opened inside since, and AheadReserve for the walk's next level and the workflow's
** files are counted; at a small limit that is nothing, and no ring is made. Whoever still meets
** EMFILE or ENFILE while read-ahead holds some has it give them back (AheadSettle) and tries
** once more.
**
** Used by the one thread that owns the walk (the listing that opened the ring and every listing
** inside it); no locks. The warmer is a thread of its own, sharing nothing with the walk but
** what AheadPassed and AheadWanted exchange.
*/
#ifndef KRV_READAHEAD_POSIX_H
#define KRV_READAHEAD_POSIX_H

#include "platform/platform.h"

#include <stdint.h>
#include <sys/stat.h>

#define AheadHeadMost 65536u /* the most fetched of one file, whatever the plan asks */
#define AheadHeadFirst 4096u /* fetched from each file's start until a plan is given */
#define AheadSlots  256     /* requests of one walk under way or waiting to be taken */
#define AheadWindow 32      /* entries of one listing fetched ahead at most */
#define AheadCachedRun 8    /* files found in the cache in a row that make read-ahead rest */
#define AheadRest   4096    /* entries given while it rests */
#define AheadProbe  8       /* files fetched ahead at most until one is missing from the cache */
#define AheadFolders 2      /* folders of one listing's window listed ahead at a time */
#define AheadFolderFiles 16 /* first files of a folder listed ahead whose inodes are fetched */
#define AheadReserve 16     /* descriptors left to the walk's next level and the workflow */
#define AheadLead   256     /* entries the warmer may be ahead of the walk */
#define AheadWarmBytes 16384u /* bytes the warmer has the kernel read from the start of a file */
#define WarmerDepth 16      /* folders the warmer holds open at most: it goes no deeper */
#define WarmerSample 8      /* the warmer looks whether one file in this many is cached already */
#define WarmerCachedRun 8   /* of those it looks at, found cached in a row, that make it end */
#define WarmerPending 32    /* files the warmer asked for whose headers it has yet to look at */
#define WarmerLookups 8     /* look-ups of folders ahead the warmer has under way at most */
#define WarmerDescriptors (WarmerDepth + WarmerPending + WarmerLookups + 2)   /* and its ring */

struct Ahead;

/* A ring for one walk; null when read-ahead is switched off (PosixSetReadAhead), the build has
** no liburing, the kernel refuses a ring or one of its operations (too old, or forbidden to
** this process), or the descriptors the soft limit leaves beside those open now and
** AheadReserve are none (or cannot be counted). `daemon`: the walk's files are served by a
** daemon in user space (FUSE), which answers one request at a time: then every request goes to
** the kernel's workers, read-ahead never rests, and no folder is listed ahead
** (AheadListsFolders). */
Ahead *AheadOpen(int daemon);

/* Readies the warmer (readahead_posix.cpp) over the folder `folder` that the ring's listing
** lists: a thread that walks the tree ahead of the walk and has the kernel read the start of
** its files. It starts once AheadCachedRun files in a row made the ring wait (at once when
** read-ahead never rests). Nothing where a daemon serves the files, nor without room for its descriptors
** (it keeps one for the folder until it starts). */
void AheadWarmFrom(Ahead *ahead, int folder);

/* What is fetched of each file from the next walk on (the table's planReadAhead); a head larger
** than AheadHeadMost is cut to it. Set by the thread of the walk while no walk is under way. */
void AheadPlan(const ReadAheadPlan *plan);

/* The walk was given one more entry (not "." or ".."): the warmer keeps its distance by this. */
void AheadPassed(Ahead *ahead);

/* Folders the warmers of this process have entered so far. */
uint32_t AheadWarmerListed(void);

/* Non-zero when folders are worth listing ahead and their inodes fetching: not where a daemon
** would answer those requests too, in the one queue the scan's own wait in, and then answer them
** again when the walk comes to the folder (its attributes expire at once), nor while the warmer
** lists them ahead anyway. */
int AheadListsFolders(Ahead *ahead);

/* Waits for every request still under way, closes every descriptor the ring opened that
** nobody took, and frees the ring. */
void AheadClose(Ahead *ahead);

/* Starts fetching the regular file `name` of the open folder `folder`, or, with `isFolder`,
** the inode of the folder `name` (nothing of a folder is ever taken). Answers the slot, or -1
** when no slot is free or, for a file, AheadRoom is 0. `name` is copied. The request reaches
** the kernel at the next AheadPoll or AheadTake. */
int AheadEntry(Ahead *ahead, int folder, const char *name, int isFolder);

/* Starts fetching the inode of the entry `name` of the open folder `folder` only to have it in
** memory (nothing is opened): the slot holds a descriptor of the folder of its own until the
** request completes, and goes back by itself. Non-zero when started; 0 as well when AheadRoom
** is 0. */
int AheadInode(Ahead *ahead, int folder, const char *name);

/* How many more descriptors read-ahead may take now. */
unsigned AheadRoom(Ahead *ahead);

/* The descriptors read-ahead holds now: files fetched and not taken, files being opened, the
** folders of inode fetches under way. */
unsigned AheadHolding(Ahead *ahead);

/* A listing of the walk was opened inside the one that made the ring (AheadEnter), or one such
** was closed (AheadLeave): each holds a descriptor that read-ahead leaves to it. When none is
** left beside them, the warmer stops and gives its own back. */
void AheadEnter(Ahead *ahead);
void AheadLeave(Ahead *ahead);

/* Stops the warmer and waits for every request under way, so that its descriptors and those of
** slots dropped meanwhile are closed; the others stay where they are. */
void AheadSettle(Ahead *ahead);

/* Hands waiting requests to the kernel and takes in what has completed, without waiting. */
void AheadPoll(Ahead *ahead);

/* Called once for every entry the listing gives: how many files of the listing may be under
** way now. 0 while read-ahead rests, for AheadRest entries after AheadCachedRun files in a row
** were in the cache already; then AheadProbe until a file is found missing from the cache;
** AheadWindow from then on. While a warmer works, AheadWindow: it makes every file look cached;
** once it found the tree in the cache it is stopped, and the rule above holds again. */
unsigned AheadWanted(Ahead *ahead);

/* Waits until the file of `slot` is fetched. Answers its descriptor, which belongs to the
** caller from then on, with the file's status in `st`; -1 when it could not be opened, is no
** regular file or could not be read. Either way the caller drops the slot afterwards. What was
** read is not handed over: it only brought the file's first bytes into the cache, and the
** scan reads them again through the descriptor, as they are when it reads them. */
int AheadTake(Ahead *ahead, int slot, struct stat *st);

/* Gives the slot back; whatever it opened and nobody took is closed, at once or as soon as
** its request completes. */
void AheadDrop(Ahead *ahead, int slot);

#endif
