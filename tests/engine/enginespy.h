/*
** What the engine tests watch and break: a spy over the Platform table's file and memory
** entries that records every read, seek and heap block, and injects allocation failures, short
** reads and failed reads. Real files underneath; only the entries named here are replaced.
*/
#ifndef KRV_ENGINESPY_H
#define KRV_ENGINESPY_H

#include "engine/fileio.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace enginetest {

struct ReadCall {
    uint32_t asked, got;
};

struct SeekCall {
    int32_t distance;
    uint32_t origin, result;
};

/* Installs itself in Platform while alive (one at a time); PlatformRestore() on destruction. */
class PlatformSpy {
public:
    PlatformSpy();
    ~PlatformSpy();

    /* Memory. */
    std::vector<uint32_t> allocSizes;        /* every memAlloc request, failed ones included */
    std::map<void *, uint32_t> live;         /* blocks handed out and not yet freed */
    int frees = 0;                           /* memFree calls with a block */
    int badFrees = 0;                        /* memFree of a block this spy did not hand out */
    int failAllocAt = 0;                     /* n > 0: the n-th memAlloc answers null */
    uint32_t failAllocSize = 0;              /* non-zero: every memAlloc of this size fails */
    /* When set, every block starts as a copy of these bytes (as far as they reach), so that a
    ** checksum over bytes the file did not fill would see them. */
    const std::vector<uint8_t> *prefill = nullptr;

    /* Files. */
    std::vector<ReadCall> reads;
    std::vector<SeekCall> seeks;
    int closes = 0;
    int failReadAt = 0;                      /* n > 0: the n-th readFile fails (answers 0) */
    uint32_t failReadSize = 0;               /* non-zero: every readFile of this size fails */
    int shortReadAt = 0;                     /* n > 0: the n-th readFile delivers one byte less */
    uint32_t shortReadSize = 0;              /* non-zero: readFiles of this size deliver one less */
    bool vanish = false;                     /* every readFile answers 0, as for a lost file */

    /* Requested sizes of the reads, in order. */
    std::vector<uint32_t> readSizes() const;
    /* True when some read asked for exactly `count` bytes. */
    bool readOf(uint32_t count) const;
    void clearLog();
};

/* The bytes of a sample file written into a scratch folder and opened for reading. */
class OpenedFile {
public:
    OpenedFile(const std::vector<uint8_t> &bytes, const char *name = "sample.bin");
    ~OpenedFile();
    FileHandle handle() const { return handle_; }
    const std::string &path() const { return path_; }
private:
    testsupport::ScratchDir dir_;
    std::string path_;
    FileHandle handle_;
};

/* ClassifyFile's answer with its out-slots; the slots are freed by the destructor. */
struct Classified {
    uint32_t kind = 0xDEAD;
    uint8_t *dosHeader = (uint8_t *)1;       /* non-null garbage: the call must clear it */
    uint8_t *peHeaders = (uint8_t *)1;
    uint32_t peHeadersSize = 0xDEAD;
    explicit Classified(FileHandle file)
    {
        kind = ClassifyFile(file, &dosHeader, &peHeaders, &peHeadersSize);
    }
    ~Classified()
    {
        MemFree(dosHeader);
        MemFree(peHeaders);
    }
    Classified(const Classified &) = delete;
    Classified &operator=(const Classified &) = delete;
};

/* Little-endian stores into test images. */
void Put16(std::vector<uint8_t> &v, size_t at, uint32_t value);
void Put32(std::vector<uint8_t> &v, size_t at, uint32_t value);

}  // namespace enginetest

#endif
