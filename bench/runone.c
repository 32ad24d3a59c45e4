/* runone OUT ERR PROGRAM [ARG...]: runs PROGRAM once, its standard output into the file OUT,
** its standard error into ERR, its standard input from /dev/null, and prints one line
** "status S wall W processor P peak K": its exit status (128 + the signal when one ended it),
** the wall seconds from fork to its end, its user and system seconds, and its peak resident
** memory in KiB (the child's ru_maxrss).
**
** Why a program of its own, in C: the kernel counts in a child's peak the resident size of the
** process it was forked from, up to the exec. Forked from the timing script (some 15 MiB of
** interpreter) every program would seem to need that much; forked from this small program the
** floor is about 1 MiB, below any scanner's own.
*/
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: runone OUT ERR PROGRAM [ARG...]\n");
        return 2;
    }
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0 || err < 0) {
        perror("runone: cannot open the output files");
        return 2;
    }
    double start = Now();
    pid_t child = fork();
    if (child < 0) {
        perror("runone: fork");
        return 2;
    }
    if (child == 0) {
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        execv(argv[3], argv + 3);
        perror(argv[3]);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("runone: wait4");
        return 2;
    }
    double wall = Now() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    double processor = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
    printf("status %d wall %.6f processor %.6f peak %ld\n", code, wall, processor,
           usage.ru_maxrss);
    return 0;
}
