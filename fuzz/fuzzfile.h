/*
** What the fuzz targets share: the input goes to a file of this process's own and is opened
** with FileOpen, so that classification and matching read it through the real file wrappers
** and the platform's positioned reads, seeks past the end and short reads included.
*/
#ifndef KRV_FUZZFILE_H
#define KRV_FUZZFILE_H

#include "engine/fileio.h"

#include <stddef.h>

/* Writes `size` bytes to this process's input file (replacing what was there) and opens it
** for reading; aborts when either fails, since a target that silently skipped its input
** would fuzz nothing. The caller closes the handle with FileClose. */
FileHandle OpenInput(const uint8_t *data, size_t size);

#endif
