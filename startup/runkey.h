#ifndef KRV_RUNKEY_H
#define KRV_RUNKEY_H

/* 1 when `name` is the worm's autostart value name: it begins with "System-Service" in any
** letter case (at most those 14 characters are compared; a shorter name does not match). */
int IsWormValueName(const char *name);

/* The rows a front end shows for the value in a registry it cleans on request. */
extern const char StatusAutostartRemoved[];     /* "autostart value removed" */
extern const char StatusAutostartFound[];       /* "autostart value found: report only" */

/* Deletes the first value of the machine-wide Run key whose name begins with "System-Service"
** (ignoring case), and nothing else. Silent: every failure leaves the registry as it was. */
void RemoveRunKeyValue(void);

#endif
