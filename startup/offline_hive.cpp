/*
** The offline Run key (see offline_hive.h). The rules live here: which folders lead to the
** hive, what two spellings mean, the order of the steps and the names of the new hive and the
** backups. Every file is reached through the platform's hive entries, and the value is found by
** the one loop that searches the running system's key (FindRunValueIn).
*/
#include "startup/offline_hive.h"

#include "base/text.h"

#include <string.h>

const char OfflineRunKey[] = "Microsoft\\Windows\\CurrentVersion\\Run";

static const char *const HiveParts[] = {"Windows", "System32", "config", "SOFTWARE"};

#define MaxBackups 1000000u   /* backup names tried, at most: more than any disk holds */

/* What the child's search answers: the loop's outcome, the value, and the system's words for a
** write that failed. */
struct HiveAnswer {
    int reportOnly;
    int outcome;
    char name[RunKeyNameSize];
    char data[sizeof ((OfflineRunValue *)nullptr)->data];
    char cause[160];
};

/* Runs in the child, over the hive's registry entries. */
static void SearchHive(const PlatformRegistry *hive, void *answer)
{
    HiveAnswer *a = (HiveAnswer *)answer;
    a->outcome = FindRunValueIn(hive, a->reportOnly, a->name, a->data, sizeof a->data);
    if (a->outcome == RunKeyNotRemoved)
        Platform.system.lastError(a->cause, sizeof a->cause);
}

/* `error` becomes "<path>: <what>", with " (<cause>)" after it when `cause` is not empty. */
static void Say(OfflineRunValue *out, const char *path, const char *what, const char *cause)
{
    CopyText(out->error, sizeof out->error, path);
    AppendText(out->error, sizeof out->error, ": ");
    AppendText(out->error, sizeof out->error, what);
    if (cause && cause[0]) {
        AppendText(out->error, sizeof out->error, " (");
        AppendText(out->error, sizeof out->error, cause);
        AppendText(out->error, sizeof out->error, ")");
    }
}

/* Say, with the system's words for the call that failed last. */
static void SayWhy(OfflineRunValue *out, const char *path, const char *what)
{
    char cause[128];
    Platform.system.lastError(cause, sizeof cause);
    Say(out, path, what, cause);
}

/* The leftovers swept, named with the config folder's path (the hive's, up to its name). */
struct Sweeping {
    void (*swept)(const char *folder, const char *name);
    char folder[PlatformPathSize];
};

static void Swept(const char *name, void *context)
{
    Sweeping *s = (Sweeping *)context;
    if (s->swept)
        s->swept(s->folder, name);
}

/* Opens the folder that holds the hive and finds the hive's spelling (into `name`), building
** its path in out->hive. Answers the folder, or null with out->error set. */
static void *FindHive(const char *root, OfflineRunValue *out, char *name)
{
    const PlatformRegistry &r = Platform.registry;
    void *folder = r.hiveFolder(nullptr, root);
    if (!folder) {
        SayWhy(out, root, "cannot open the folder");
        return nullptr;
    }
    CopyText(out->hive, sizeof out->hive, root);
    for (const char *part : HiveParts) {
        char found[2][HiveNameSize];
        int count = r.hiveAlike(folder, part, found, 2);
        if (count >= 2) {
            Say(out, out->hive, "both ", nullptr);
            AppendText(out->error, sizeof out->error, found[0]);
            AppendText(out->error, sizeof out->error, " and ");
            AppendText(out->error, sizeof out->error, found[1]);
            AppendText(out->error, sizeof out->error, " are there: not examined, which one "
                       "Windows uses is not clear");
            r.hiveClose(folder);
            return nullptr;
        }
        int fits = count == 1 && AppendText(out->hive, sizeof out->hive, "/") &&
                   AppendText(out->hive, sizeof out->hive, found[0]);
        if (fits && part == HiveParts[3]) {
            CopyText(name, HiveNameSize, found[0]);
            return folder;
        }
        void *next = fits ? r.hiveFolder(folder, found[0]) : nullptr;
        r.hiveClose(folder);
        if (!next) {
            Say(out, root, "no Windows/System32/config/SOFTWARE hive", nullptr);
            return nullptr;
        }
        folder = next;
    }
    return nullptr;
}

/* Puts the new hive `fresh` (made as `freshName`) in the place of the hive `name`, which must
** still be the file `hive`, keeping the old one under the first free backup name: names
** planted in advance, or the backups of many cleanings of a hive infected again, never stop
** it. Answers 1, or 0 with out->error set and the hive as it was. */
static int PlaceHive(void *folder, const char *name, void *hive, void *fresh,
                     const char *freshName, OfflineRunValue *out)
{
    const PlatformRegistry &r = Platform.registry;
    int finished = r.hiveFinish(folder, name, hive, fresh);
    if (finished <= 0) {
        if (finished == 0)
            SayWhy(out, out->hive, "cannot give the new registry hive the old one's mode and owner");
        else
            Say(out, out->hive, "the registry hive was replaced while it was read", nullptr);
        return 0;
    }
    char backup[HiveNameSize + 24];
    int kept = 0;
    for (uint32_t i = 1; kept == 0 && i <= MaxBackups; i++) {
        CopyText(backup, sizeof backup, name);
        AppendText(backup, sizeof backup, ".krvbak");
        if (i > 1) {
            char digits[NumberTextSize];
            FormatNumber(digits, i, 10, 0);
            AppendText(backup, sizeof backup, digits);
        }
        kept = r.hiveKeep(folder, name, hive, backup);
    }
    if (kept <= 0) {
        SayWhy(out, out->hive, "cannot keep a backup of the registry hive");
        return 0;
    }
    switch (r.hivePut(folder, fresh, freshName, name, backup, kept)) {
    case HivePlaced:
        return 1;
    case HiveSwappedBefore:
        Say(out, out->hive, "the new registry hive was swapped before it was put in place",
            nullptr);
        return 0;
    case HiveCannotReplace:
        SayWhy(out, out->hive, "cannot replace the registry hive");
        return 0;
    default:
        Say(out, out->hive, "the new registry hive was swapped while it was put in place; the "
            "old one is back", nullptr);
        return 0;
    }
}

/* The hive's folder is open (and `name` found in it): searches and, with `fresh`, edits. */
static int SearchAndEdit(void *folder, const char *name, void *hive, int reportOnly,
                         int (*mayChange)(void), void (*swept)(const char *, const char *),
                         OfflineRunValue *out)
{
    const PlatformRegistry &r = Platform.registry;
    void *fresh = nullptr;
    char freshName[HiveNameSize + 64];
    if (!reportOnly) {
        Sweeping sweeping = {swept, ""};
        CopyText(sweeping.folder, sizeof sweeping.folder, out->hive);
        sweeping.folder[strlen(out->hive) - strlen(name) - 1] = 0;
        char prefix[HiveNameSize + 8];
        CopyText(prefix, sizeof prefix, name);
        AppendText(prefix, sizeof prefix, ".krvnew");
        r.hiveSweep(folder, prefix, Swept, &sweeping);
        fresh = r.hiveCreate(folder, prefix, freshName, sizeof freshName);
        if (!fresh) {
            SayWhy(out, out->hive, "cannot create the new registry hive");
            return RunKeyUnreadable;
        }
    }
    HiveAnswer answer = {};
    answer.reportOnly = reportOnly;
    char cause[256];
    int outcome = RunKeyUnreadable;
    if (!r.hiveEdit(hive, fresh, SearchHive, &answer, sizeof answer, cause, sizeof cause)) {
        Say(out, out->hive, cause, nullptr);
    } else {
        outcome = answer.outcome;
        CopyText(out->name, sizeof out->name, answer.name);
        CopyText(out->data, sizeof out->data, answer.data);
        if (outcome == RunKeyUnreadable)
            Say(out, out->hive, "a value's name in the Run key could not be read", nullptr);
        else if (outcome == RunKeyNotRemoved)
            Say(out, out->hive, "cannot write the registry hive", answer.cause);
    }
    if (outcome == RunKeyRemoved) {
        /* A stop asked for until now still leaves every file as it was. */
        if (!mayChange()) {
            Say(out, out->hive, "stopped before the registry hive was replaced", nullptr);
            outcome = RunKeyNotRemoved;
        } else if (!PlaceHive(folder, name, hive, fresh, freshName, out)) {
            outcome = RunKeyNotRemoved;
        } else {
            r.hiveClose(fresh);
            return outcome;
        }
    }
    if (fresh) {
        r.hiveDiscard(folder, fresh, freshName);
        r.hiveClose(fresh);
    }
    return outcome;
}

int RemoveOfflineRunValue(const char *root, int reportOnly, int (*mayChange)(void),
                          void (*swept)(const char *folder, const char *name),
                          OfflineRunValue *out)
{
    const PlatformRegistry &r = Platform.registry;
    out->hive[0] = out->name[0] = out->data[0] = out->error[0] = 0;
    char cause[512];
    if (!r.hiveLoad || !r.hiveLoad(cause, sizeof cause)) {
        Say(out, "--windows-root", r.hiveLoad ? cause : "not available in this build (it needs "
            "hivex)", nullptr);
        return RunKeyUnreadable;
    }
    char name[HiveNameSize];
    void *folder = FindHive(root, out, name);
    if (!folder)
        return RunKeyUnreadable;
    void *hive = nullptr;
    int opened = r.hiveOpen(folder, name, !reportOnly, &hive);
    int outcome = RunKeyUnreadable;
    if (opened == HiveCannotLock)
        SayWhy(out, out->hive, "cannot lock the registry's folder");
    else if (opened == HiveNotRegular)
        Say(out, out->hive, "the registry hive is not a regular file", nullptr);
    else if (opened != HiveReady)
        SayWhy(out, out->hive, "cannot open the registry hive");
    else
        outcome = SearchAndEdit(folder, name, hive, reportOnly, mayChange, swept, out);
    r.hiveClose(hive);
    r.hiveClose(folder);
    return outcome;
}
