// Writing through a handle the workflow opened, for test cleaners that really clean: the
// platform table offers no write, and on Windows the workflow's own handle is the only one
// that may write while it is open.
#ifndef KRV_TEST_HANDLE_WRITE_H
#define KRV_TEST_HANDLE_WRITE_H

#include "platform/platform.h"

bool WriteThroughHandle(FileHandle file, uint32_t offset, const void *data, uint32_t size);

#endif
