/*
** Identifiers of the main dialog's controls, the one source for the dialog, its resource
** script, the display operations and the tests. Only #defines: the resource compiler reads it.
*/
#ifndef KRV_CONTROLS_H
#define KRV_CONTROLS_H

#define ScanButton         1021
#define SelectPathButton   1002
#define ExitButton         2
#define TargetField        1004
#define ResultsList        1006
#define AboutButton        1000
#define PromoText          1017
#define LinkLabel          1018
#define DetectsCaption     1019
#define DetectionNameLabel 1020
#define CopyrightLabel     1022
#define TargetCaption      1023

#endif
