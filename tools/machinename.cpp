// krvname: prints "set KRVHOST=NAME" for a logon script to CALL: the machine's name as
// GetComputerNameA gives it, which the Windows 9x family keeps in no environment variable.
// Only letters, digits, "-" and "_" pass, anything else becomes "_": the line is then safe for
// COMMAND.COM to run and the name safe as a folder name on the results share.
#include <windows.h>

int main(int, char **)
{
    static const char prefix[] = "set KRVHOST=";
    char line[sizeof prefix + MAX_COMPUTERNAME_LENGTH + 2];
    char *name = line + sizeof prefix - 1;
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameA(name, &size) || size == 0 || size > MAX_COMPUTERNAME_LENGTH)
        return 1;
    for (DWORD i = 0; i < size; i++) {
        char c = name[i];
        int plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
        if (!plain)
            name[i] = '_';
    }
    CopyMemory(line, prefix, sizeof prefix - 1);
    name[size] = '\r';
    name[size + 1] = '\n';
    DWORD length = (DWORD)(sizeof prefix - 1 + size + 2), written = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return WriteFile(out, line, length, &written, NULL) && written == length ? 0 : 1;
}
