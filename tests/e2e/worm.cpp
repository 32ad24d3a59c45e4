/*
** A stand-in for the running worm: a harmless program that stays alive until it is told to end,
** so that its own image is a file the scanner finds locked.
**
** Usage: worm.exe READY-MARKER STOP-EVENT
**   Creates the named manual-reset event STOP-EVENT, then the file READY-MARKER (so that whoever
**   started it knows the event exists), and waits until the event is set. Exit code 0 when told
**   to end, 2 when nobody did within ten minutes, 1 on a usage or set-up error.
**
** The image does nothing of the worm: it only carries the checksums of the first signature entry,
** which e2etool forges into two places the loader never reads: the tail of the DOS stub (inside
** the first 8 KiB) and the Ballast array below (inside the first 128 KiB). Ballast also makes
** the file long enough for the second region.
*/
#include <windows.h>

#include <stdio.h>

/* Begins with the marker e2etool looks for; the rest is room for the forged window. Non-zero
** initialisers keep it in the file's initialised data rather than in .bss. */
#define BallastSize (160 * 1024)
extern "C" __attribute__((used)) const unsigned char Ballast[BallastSize] = {
    'K', 'R', 'V', '-', 'E', '2', 'E', '-', 'B', 'A', 'L', 'L', 'A', 'S', 'T', '!', 1, 2, 3, 4};

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: worm READY-MARKER STOP-EVENT\n");
        return 1;
    }
    HANDLE stop = CreateEventA(NULL, TRUE, FALSE, argv[2]);
    if (!stop) {
        fprintf(stderr, "worm: cannot create event %s (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    HANDLE marker = CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "worm: cannot create marker %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    /* Touch the ballast so that no linker or optimiser can decide it is unused. */
    DWORD written = 0;
    WriteFile(marker, (const void *)&Ballast[BallastSize - 4], 4, &written, NULL);
    CloseHandle(marker);
    DWORD waited = WaitForSingleObject(stop, 10 * 60 * 1000);
    CloseHandle(stop);
    return waited == WAIT_OBJECT_0 ? 0 : 2;
}
