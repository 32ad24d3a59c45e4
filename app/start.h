/*
** What the Windows programs' own entry points share. The toolchain's start-up code is not
** linked (-nostartfiles): it is built for the Pentium Pro and would fault on a 486 or a Pentium
** before anything of the program ran.
*/
#ifndef KRV_START_H
#define KRV_START_H

/* Tells the C run time what kind of program this is (1 console, 2 window), which decides where
** it reports its own errors, and runs the static constructors. Called first by each entry. */
void StartRunTime(int appType);

#endif
