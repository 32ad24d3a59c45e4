/*
** The built-in signature table and the matcher.
**
** A file is infected when, for some entry of SignatureTable, its FileKind is among the kinds
** the entry admits and the Crc32 of two regions both equal the entry's values. The second
** region is read only after the first matched.
*/
#ifndef KRV_SIGNATURE_H
#define KRV_SIGNATURE_H

#include "engine/fileio.h"

/* The detection name: one text, pointed to by every table entry and shown by the dialog. */
extern const char DetectionName[];

/* The detector's answer. Only Clean and Infected come from the built-in detector. */
namespace ScanVerdict {
enum : int32_t { Clean = 0, Infected = 1, Suspect = 2, AccessError = 4, Warning = 5 };
}

/* One file handed from the workflow to the detector and the cleaner. */
struct ScanContext {
    const char *path;                /* the workflow's ScanPath; the detector does not read it */
    const char *const *matchedName;  /* set on a match to &entry.name; never cleared */
    FileHandle file;                 /* open for reading (detector) or read and write (cleaner) */
};

struct RegionCheck {
    uint32_t offset;                 /* from the entry's base */
    uint32_t length;                 /* a length of 0 has the checksum 0 */
    uint32_t crc;
};

#define FileStart   0u               /* region offsets count from the start of the file */
#define SectionData 1u               /* from PointerToRawData of section (regionBase >> 16) */

struct Signature {
    uint32_t kindMask;
    uint32_t regionBase;             /* low 16 bits: base type; high 16 bits: section index */
    RegionCheck first;
    RegionCheck second;              /* tested only when `first` matched */
    const char *name;
};

extern const Signature SignatureTable[2];

/* What read-ahead should fetch of each file for the detector (see ReadAheadPlan): the longest
** first region that SignatureTable reads from the start of a file, and the longest it reads
** from a PE section's data, where the file's headers say that section begins. */
void SignatureReadAhead(ReadAheadPlan *plan);

/* Infected (1) when MatchSignatures(context, SignatureTable, 2) finds an entry, Clean (0)
** otherwise. Moves the file position freely; does not close the file. */
int32_t DetectFile(ScanContext *context);

/* Position (from 1) of the first of `count` entries of `table` that matches the context's file,
** or -1. Classifies the file once, also when count is 0. On a match sets matchedName to the
** entry's `name` field; otherwise leaves it as it was. No header copy stays allocated. */
int32_t MatchSignatures(ScanContext *context, const Signature *table, uint32_t count);

/* Stores in *crc the Crc32 of the `length` bytes at absolute file offset `offset` (a signed
** seek distance: 0x80000000 and up is refused by the seek, and the bytes are read from where
** the last read ended). A length of 0 stores 0 without touching the file. Answers 1 with the
** checksum, or 0 with *crc unwritten when no buffer can be had or fewer than `length` bytes
** can be read: no result ever depends on bytes the file did not supply. */
int RegionCrc(ScanContext *context, uint32_t offset, uint32_t length, uint32_t *crc);

#endif
