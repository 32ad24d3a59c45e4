/* hiberfil.sys of a Windows installation that is not running (POSIX build, for rescue systems). */
#include "app/hiberfil.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

/* One entry: 1 resumes, 0 does not, -1 cannot be read. Windows resumes only from an image it
** wrote itself, a regular file: a link, a folder, a FIFO or a device under that name (what a
** crafted disk may hold) is no image, and stops nothing. */
static int HibernatedFile(int folder, const char *name, char *signature, size_t size)
{
    struct stat entry;
    if (fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(entry.st_mode))
        return 0;
    int file = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        snprintf(signature, size, "%s: %s", name, strerror(errno));
        return -1;
    }
    struct stat facts;
    if (fstat(file, &facts) != 0 || !S_ISREG(facts.st_mode)) {
        snprintf(signature, size, "%s: not a regular file", name);
        close(file);
        return -1;
    }
    char head[4];
    ssize_t got = pread(file, head, sizeof head, 0);
    int error = errno;
    close(file);
    if (got < 0) {
        snprintf(signature, size, "%s: %s", name, strerror(error));
        return -1;
    }
    if (got < (ssize_t)sizeof head)
        return 0;
    static const char *const resumes[] = {"hibr", "wake", "rstr"};
    for (const char *word : resumes) {
        if (strncasecmp(head, word, sizeof head) == 0) {
            snprintf(signature, size, "%.4s", head);
            return 1;
        }
    }
    return 0;
}

int WindowsHibernated(const char *root, char *signature, size_t size)
{
    signature[0] = 0;
    DIR *folder = opendir(root);
    if (!folder) {
        snprintf(signature, size, "%s", strerror(errno));
        return -1;
    }
    /* Every spelling is looked at: one that says Windows resumes decides. */
    int answer = 0;
    char cause[600] = "";
    for (struct dirent *entry; (entry = readdir(folder)) != NULL;) {
        if (strcasecmp(entry->d_name, "hiberfil.sys") != 0)
            continue;
        int one = HibernatedFile(dirfd(folder), entry->d_name, cause, sizeof cause);
        if (one == 1) {
            answer = 1;
            snprintf(signature, size, "%s", cause);
            break;
        }
        if (one < 0 && answer == 0) {
            answer = -1;
            snprintf(signature, size, "%s", cause);
        }
    }
    closedir(folder);
    return answer;
}
