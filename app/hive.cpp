/*
** The offline Run key, through hivex. hivex has no call that deletes one value: the key's values
** are set anew without it. hivex_commit writes the file it is given from scratch, so it writes a
** new file beside the hive, which then takes the hive's name in one rename.
*/
#include "app/hive.h"

#include "base/text.h"
#include "startup/runkey.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#define HivePathSize 4096

static const char *const HiveParts[] = {"Windows", "System32", "config", "SOFTWARE"};
static const char *const RunKeyParts[] = {"Microsoft", "Windows", "CurrentVersion", "Run"};

/* Appends to `path` the entry of that folder whose name is `part` in any letter case. The disk
** is not to be trusted: a link there could lead the write anywhere, so links are not taken. */
static int AppendEntry(char *path, const char *part)
{
    DIR *folder = opendir(path);
    if (!folder)
        return 0;
    int ok = 0;
    for (struct dirent *entry; !ok && (entry = readdir(folder)) != NULL;) {
        struct stat st;
        if (strcasecmp(entry->d_name, part) != 0 ||
            fstatat(dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            S_ISLNK(st.st_mode))
            continue;
        ok = AppendText(path, HivePathSize, "/") && AppendText(path, HivePathSize, entry->d_name);
    }
    closedir(folder);
    if (!ok)
        errno = ENOENT;
    return ok;
}

/* The Run key's node, or 0 when the hive has no such key. */
static hive_node_h RunKey(hive_h *hive)
{
    hive_node_h node = hivex_root(hive);
    for (const char *part : RunKeyParts) {
        if (!node)
            return 0;
        node = hivex_node_get_child(hive, node, part);
    }
    return node;
}

/* Sets the key's values to all but `skip`; 0 when a value cannot be read or the key set. */
static int SetAllBut(hive_h *hive, hive_node_h key, hive_value_h *values, size_t count, size_t skip)
{
    hive_set_value *kept = (hive_set_value *)calloc(count ? count : 1, sizeof *kept);
    size_t n = 0;
    int ok = kept != NULL;
    for (size_t i = 0; ok && i < count; i++) {
        if (i == skip)
            continue;
        kept[n].key = hivex_value_key(hive, values[i]);
        kept[n].value = hivex_value_value(hive, values[i], &kept[n].t, &kept[n].len);
        ok = kept[n].key && kept[n].value;
        n++;
    }
    ok = ok && hivex_node_set_values(hive, key, n, kept, 0) == 0;
    for (size_t i = 0; kept && i < n; i++) {
        free(kept[i].key);
        free(kept[i].value);
    }
    free(kept);
    return ok;
}

static int Fail(char *error, size_t errorSize, const char *what, const char *path)
{
    snprintf(error, errorSize, "%s: %s (%s)", path, what, strerror(errno));
    return -1;
}

int RemoveOfflineRunValue(const char *root, int reportOnly, char *found, size_t foundSize,
                          char *error, size_t errorSize)
{
    char path[HivePathSize];
    if (!CopyText(path, sizeof path, root))
        return Fail(error, errorSize, "path too long", root);
    for (const char *part : HiveParts)
        if (!AppendEntry(path, part))
            return Fail(error, errorSize, "no Windows/System32/config/SOFTWARE hive", root);

    hive_h *hive = hivex_open(path, reportOnly ? 0 : HIVEX_OPEN_WRITE);
    if (!hive)
        return Fail(error, errorSize, "cannot open the registry hive", path);
    int result = 0;
    hive_node_h key = RunKey(hive);
    hive_value_h *values = key ? hivex_node_values(hive, key) : NULL;
    size_t count = 0;
    while (values && values[count])
        count++;
    for (size_t i = 0; i < count && result == 0; i++) {
        char *name = hivex_value_key(hive, values[i]);
        if (name && IsWormValueName(name)) {
            snprintf(found, foundSize, "%s:Microsoft\\Windows\\CurrentVersion\\Run\\%s", path, name);
            result = 1;
            if (!reportOnly) {
                char fresh[HivePathSize + 8];
                snprintf(fresh, sizeof fresh, "%s.krvnew", path);
                unlink(fresh);      /* whatever stands there, a link above all, goes first */
                if (!SetAllBut(hive, key, values, count, i) || hivex_commit(hive, fresh, 0) != 0) {
                    result = Fail(error, errorSize, "cannot write the registry hive", path);
                    unlink(fresh);
                } else if (rename(fresh, path) != 0) {
                    result = Fail(error, errorSize, "cannot replace the registry hive", path);
                    unlink(fresh);
                }
            }
        }
        free(name);
    }
    free(values);
    hivex_close(hive);
    return result;
}
