/*
** Resource and control identifiers of the main dialog, shared by the resource script and the
** dialog code. The identifiers the core also names (Scan, Select Path, Exit, target field,
** results list) come from scan/display.h; the resource compiler cannot read that header's
** declarations, so they are repeated here under guard.
*/
#ifndef KRV_RESOURCE_H
#define KRV_RESOURCE_H

#define IDD_MAIN          101   /* the dialog template */
#define IDI_MAIN          102   /* icon group: 32x32 and 16x16 */
#define IDC_LINKHAND      106   /* cursor group: the link's pointing hand */

#define AboutButton       1000
#define LinkLabel         1018
#define DetectsCaption    1019
#define DetectionNameLabel 1020
#define CopyrightLabel    1022
#define TargetCaption     1023
#define PromoText         1017

#ifndef ScanButton
#define ScanButton        1021
#define SelectPathButton  1002
#define ExitButton        2
#define TargetField       1004
#define ResultsList       1006
#endif

#endif
