#include "tests/disinfect/handle_write.h"

#ifdef _WIN32
#include <windows.h>

bool WriteThroughHandle(FileHandle file, uint32_t offset, const void *data, uint32_t size)
{
    DWORD written = 0;
    if (SetFilePointer((HANDLE)file, (LONG)offset, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    return WriteFile((HANDLE)file, data, size, &written, NULL) && written == size;
}
#else
#include <unistd.h>

bool WriteThroughHandle(FileHandle file, uint32_t offset, const void *data, uint32_t size)
{
    /* A POSIX handle points at a record that begins with the file's descriptor. */
    return pwrite(*(const int *)file, data, size, (off_t)offset) == (ssize_t)size;
}
#endif
