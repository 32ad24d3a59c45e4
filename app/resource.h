/*
** Resource and control identifiers of the main dialog, shared by the resource script and the
** dialog code; the controls' identifiers come from scan/controls.h.
*/
#ifndef KRV_RESOURCE_H
#define KRV_RESOURCE_H

#define IDD_MAIN          101   /* the dialog template */
#define IDI_MAIN          102   /* icon group: 32x32 and 16x16 */
#define IDC_LINKHAND      106   /* cursor group: the link's pointing hand */

#include "scan/controls.h"

#endif
