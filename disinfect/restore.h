/*
** Putting back what the quarantine keeps (krvscan --restore): a file detected wrongly, or
** evidence needed where it was.
*/
#ifndef KRV_RESTORE_H
#define KRV_RESTORE_H

extern const char StatusRestored[];          /* "restored from quarantine" */
extern const char StatusAlreadyRestored[];   /* a copy the index says was put back, passed by */
extern const char StatusFoundRestored[];     /* one found put back, its index line missing */

/* Tells the user, in one line, that `what` could not be done for `cause`. */
typedef void (*RestoreProblem)(const char *what, const char *cause);

/* Restores from the quarantine `folder` (opened as QuarantineReopen opens it, its lock held
** throughout) the copies the `count` `ids` name, each a copy's SHA-256 or a unique prefix of
** it, or the path the copy was taken from; every copy of the index when `count` is 0. An id
** that names no copy, or copies of more than one digest, stops everything before anything is
** written. For each copy: its digest is checked, the file is made at its path exclusively,
** never through a link (Platform.store.createRestored), written and read into a second
** digest, given the index's owner, mode and times and put on disk, and then the index gets
** the copy's line
** again with "restored" and the time; the copy stays. Copies and digests go by 64-bit positions,
** holes kept. A copy the index lists twice for one path
** (quarantined again after a restore) is put back once. Without IDs, a copy whose last line
** in the index says it was restored is passed by (ShowNotice, StatusAlreadyRestored); an ID
** restores it again where its path is free. A copy kept with a relative path (an older index)
** is not restored without `root`: the folder it was relative to is not known. Every restored
** file is a row
** (AddResultRow, StatusRestored); every copy that could not be, and every index line that
** cannot be read (skipped), one call of `problem`. Answers 0 when all were restored, 3 when some
** could not be, 2 when nothing could start or a stop (ScanContinue cleared) came: the file in
** hand is then not given its name, whatever its size.
** `root` (--restore-root, or null): a relative path of an older index is taken below that
** folder (Platform.store.restoreRoot), never leading out of it. Where the path is taken by a
** regular file with the copy's digest and the index does not say "restored" (a restore killed
** between the two), the copy counts as put back (ShowNotice, StatusFoundRestored) and gets its
** line. A quarantine that cannot be written is read all the same: one call of `problem` says
** so, and nothing is recorded in it. */
int RestoreFromQuarantine(const char *folder, const char *root, const char *const *ids,
                          int count, RestoreProblem problem);

#endif
