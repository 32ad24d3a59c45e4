/*
** The quarantine: before the workflow first changes a file found infected, a copy of it goes
** into a folder the scan does not enter, named by its SHA-256 (QuarantineSuffix after it, so
** that no system runs it), and one JSON line about it into the folder's index.jsonl.
*/
#ifndef KRV_QUARANTINE_H
#define KRV_QUARANTINE_H

#include "engine/sha256.h"
#include "platform/platform.h"

#include <stdint.h>

struct ScanContext;

#define QuarantineSuffix ".quarantined"
#define QuarantineIndex  "index.jsonl"

extern const char StatusQuarantined[];       /* "copied to quarantine" */
extern const char StatusLeftoverRemoved[];   /* a run that did not end left it; removed */

/* Makes `folder` the quarantine: created, only its owner may enter it, when nothing has that
** name. Answers null when it is ready, or why not: it is a link or not a folder, it cannot be
** made, one of the `count` `targets` is it or lies inside it, or, where a folder has no
** identity (the 9x family), it lies inside one of them. Inside a target it is the caller's to
** keep the scan out of it (QuarantineIdentity). */
const char *QuarantineOpen(const char *folder, const char *const *targets, int count);

/* The identity of the folder QuarantineOpen holds, as openStore gave it; 0 when there is none. */
int QuarantineIdentity(uint64_t *volume, uint64_t *index);

/* Opens the existing quarantine `folder` for reading its copies back, through the same checks
** as QuarantineOpen (nothing is created but a missing index); null when it is ready, or why not.
** A quarantine that cannot be written (a read-only mount) is opened for reading only. */
const char *QuarantineReopen(const char *folder);

/* 1 when the quarantine was opened for reading only: QuarantineAppend then writes nothing. */
int QuarantineReadOnly(void);

/* Reads up to `count` bytes of the index from `offset` into `buffer`; answers how many (0 at
** the end or on an error). */
uint32_t QuarantineReadIndex(uint32_t offset, void *buffer, uint32_t count);

/* The index's size in bytes now; 0xFFFFFFFF when it cannot be told. */
uint32_t QuarantineIndexSize(void);

/* Appends `length` bytes, whole lines, at the index's end in one write and puts them on disk;
** a short write is cut back off, so that the next line never lands after a cut one. The caller
** holds the store's lock (Platform.store.lockStore). Answers 0 when the line is not on disk. */
int QuarantineAppend(const char *text, uint32_t length);

/* Reads `from` whole, from its start at 64-bit positions, into `digest`, writing each piece
** to `to` at the same position as well unless it is InvalidFileHandle, so that a copy and its
** digest come from one reading; a hole of `from` stays a hole of `to`, which then gets the
** length read. A stop (ScanContinue cleared) is looked at every 64 KiB read and every 4 MiB
** of a hole. Answers the bytes read, -1 when a write fell short, QuarantineStopped when the
** stop came first. */
#define QuarantineStopped (-2)
int64_t QuarantineDigest(FileHandle from, FileHandle to, uint8_t digest[Sha256Size]);

/* Removes the copies that runs which were killed left half made in the quarantine folder,
** naming each (ShowNotice): once the output is ready, before this run puts anything there.
** QuarantineReopen does it itself. */
void QuarantineSweep(void);

/* Lets the quarantine folder and its index go, once nothing more is put away. */
void QuarantineClose(void);

/* BeforeChange for the workflow, once QuarantineOpen answered null: reads the detected file
** through `context->file`, makes the copy exclusively (or finds an identical one under its
** name, never through a link), reads the copy back and compares digests, appends the index
** line and shows StatusQuarantined. Answers 0, with the file untouched, when any of it fails. */
int QuarantineFile(ScanContext *context);

#endif
