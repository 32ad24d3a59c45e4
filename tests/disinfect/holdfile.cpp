// holdfile FILE...: holds every FILE open for reading with share mode FILE_SHARE_READ, as a
// running program holds its own image: others may read and copy it, nobody may write, delete
// or rename it. Prints "ready" once all are held, then waits until its standard input ends
// (or gives a line) and lets go. A file that cannot be opened gives "error <code> <file>" and
// exit code 1.
#include <windows.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs("usage: holdfile FILE...\n", stderr);
        return 2;
    }
    HANDLE held[64];
    int count = 0;
    for (int i = 1; i < argc && count < 64; i++) {
        held[count] = CreateFileA(argv[i], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (held[count] == INVALID_HANDLE_VALUE) {
            printf("error %lu %s\n", (unsigned long)GetLastError(), argv[i]);
            fflush(stdout);
            return 1;
        }
        count++;
    }
    fputs("ready\n", stdout);
    fflush(stdout);

    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, NULL) && got > 0)
        if (memchr(buffer, '\n', got))
            break;
    for (int i = 0; i < count; i++)
        CloseHandle(held[i]);
    return 0;
}
