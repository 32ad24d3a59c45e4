/*
** Putting back what the quarantine keeps, in a build that cannot (Windows): the index keeps of
** a file its attribute word alone, not its owner nor its access list, so a file put back would
** carry its folder's rights instead of its own (see createRestored in platform.h). The whole
** restore is left out of that build; --restore is refused with one line.
*/
#include "disinfect/restore.h"

int RestoreFromQuarantine(const char *folder, const char *root, const char *const *ids,
                          int count, RestoreProblem problem)
{
    (void)folder;
    (void)root;
    (void)ids;
    (void)count;
    problem("--restore", "not available in this build: the index keeps no owner or access list "
                         "to restore a file with (see the manual page)");
    return 2;
}
