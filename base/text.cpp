#include "base/text.h"

#include <string.h>

int CopyText(char *buffer, uint32_t size, const char *text)
{
    size_t n = strlen(text);
    if (n >= size)
        return 0;
    memcpy(buffer, text, n + 1);
    return 1;
}

int AppendText(char *buffer, uint32_t size, const char *text)
{
    size_t used = strlen(buffer);
    if (used >= size)
        return 0;
    return CopyText(buffer + used, (uint32_t)(size - used), text);
}
