#ifndef KRV_RUNKEY_H
#define KRV_RUNKEY_H

/* Deletes the first value of the machine-wide Run key whose name begins with "System-Service"
** (ignoring case), and nothing else. Silent: every failure leaves the registry as it was. */
void RemoveRunKeyValue(void);

#endif
