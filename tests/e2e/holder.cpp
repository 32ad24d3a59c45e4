/*
** Keeps files open the way a running program keeps a data file: read access, others may read
** but neither write nor delete. The scanner can then read and copy them, but not change them.
**
** Usage: holder.exe READY-MARKER STOP-EVENT FILE...
**   Opens every FILE, creates the named event STOP-EVENT and then READY-MARKER, and waits until
**   the event is set. Exit code 0 when told to end, 2 after ten minutes without that, 1 when a
**   file cannot be opened or on a usage error.
*/
#include <windows.h>

#include <stdio.h>

#define MaxHeld 16

int main(int argc, char **argv)
{
    if (argc < 4 || argc - 3 > MaxHeld) {
        fprintf(stderr, "usage: holder READY-MARKER STOP-EVENT FILE... (at most %d files)\n", MaxHeld);
        return 1;
    }
    HANDLE held[MaxHeld];
    int count = argc - 3;
    for (int i = 0; i < count; i++) {
        held[i] = CreateFileA(argv[3 + i], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
        if (held[i] == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "holder: cannot open %s (error %lu)\n", argv[3 + i], GetLastError());
            return 1;
        }
    }
    HANDLE stop = CreateEventA(NULL, TRUE, FALSE, argv[2]);
    if (!stop) {
        fprintf(stderr, "holder: cannot create event %s (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    HANDLE marker = CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "holder: cannot create marker %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    CloseHandle(marker);
    DWORD waited = WaitForSingleObject(stop, 10 * 60 * 1000);
    for (int i = 0; i < count; i++)
        CloseHandle(held[i]);
    CloseHandle(stop);
    return waited == WAIT_OBJECT_0 ? 0 : 2;
}
