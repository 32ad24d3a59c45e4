/*
** krvscan's progress line on standard error.
*/
#ifndef KRV_KRVSCAN_PROGRESS_H
#define KRV_KRVSCAN_PROGRESS_H

/* The scan starts now; the line is drawn only when standard error is a terminal. */
void StartProgress(void);

/* "<folder>  N files, R files/s", the folder escaped as the rows are and cut from the left to
** fit one line; redrawn at most every quarter second. */
void ShowProgress(const char *folder);

/* Blanks the line, so that whatever is written next starts on a clean one. */
void ClearProgress(void);

#endif
