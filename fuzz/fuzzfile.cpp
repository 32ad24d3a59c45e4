#include "fuzz/fuzzfile.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static char inputPath[64];   /* made on the first input, removed at exit */

static void RemoveInput(void)
{
    unlink(inputPath);
}

FileHandle OpenInput(const uint8_t *data, size_t size)
{
    if (!inputPath[0]) {
        /* Memory-backed where there is such a folder: one write and one open per input. */
        const char *folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        snprintf(inputPath, sizeof inputPath, "%s/krvfuzz-%ld.bin", folder, (long)getpid());
        atexit(RemoveInput);
    }
    int fd = open(inputPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) abort();
        done += (size_t)n;
    }
    close(fd);
    FileHandle file = FileOpen(inputPath, 0);
    if (file == InvalidFileHandle) abort();
    return file;
}
