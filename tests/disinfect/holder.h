// A second process that holds files the way a running program holds its image (holdfile.exe,
// built beside the tests). Windows only.
#ifndef KRV_TEST_HOLDER_H
#define KRV_TEST_HOLDER_H

#include <string>

struct Holder {
    void *process = nullptr;
    void *input = nullptr;     /* our end of its standard input; closing it ends the holder */
};

/* Starts holdfile.exe on `file` and returns once it holds it; an empty answer means success,
** anything else says what went wrong. */
std::string StartHolder(const std::string &file, Holder *holder);

/* Tells the holder to let go and waits (bounded) until it has ended; true when it did. */
bool EndHolder(Holder *holder);

#endif
