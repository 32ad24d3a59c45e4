@echo off
rem For machines of the NT family (NT 4.0, 2000, XP): scans every fixed drive with krvscan.exe
rem from a share and writes what it found to a results share, in a folder named after the
rem machine (summary.py reads that share as it reads a playbook run):
rem
rem   RESULTS\NAME\output.json  krvscan's JSON Lines      RESULTS\NAME\errors.txt  its errors
rem   RESULTS\NAME\status.txt   its exit status, written last (none yet: still running)
rem
rem Windows 2000 and XP run it as a computer start-up script, as the system account: the
rem machines' accounts need read access to KRVSHARE and write access to KRVRESULTS. NT 4.0 has
rem no start-up scripts: there it is a logon script and runs with the rights of whoever logs
rem on (the users then need those accesses). Cleaning the machine-wide Run key or the system
rem folders needs an administrator: a run without the rights ends "unable to clean" (status 3)
rem with the cause in errors.txt, never as clean. To clean as the system account on NT 4.0,
rem have the scheduler service run this script: at \\MACHINE 07:30 "\\server\krvscan\krvscan.cmd"
rem (the system account has no network credentials: the shares must admit null sessions).
rem Set the two shares here (or in the environment).
rem   KRVCLEAN=yes              remove what is found on every machine; otherwise report only,
rem                             except on a machine named by a file KRVSHARE\clean\NAME
setlocal
rem %ERRORLEVEL% below must be cmd's own, not a variable of that name.
set ERRORLEVEL=
if "%KRVSHARE%"=="" set KRVSHARE=\\server\krvscan
if "%KRVRESULTS%"=="" set KRVRESULTS=\\server\krvresults
set KRVHOST=%COMPUTERNAME%
if "%KRVHOST%"=="" goto noname
set KRVOUT=%KRVRESULTS%\%KRVHOST%
set KRVARGS=--all-fixed-drives --json
if /i "%KRVCLEAN%"=="yes" set KRVARGS=--all-fixed-drives --json --clean
if exist "%KRVSHARE%\clean\%KRVHOST%" set KRVARGS=--all-fixed-drives --json --clean

if not exist "%KRVOUT%\*" mkdir "%KRVOUT%"
if exist "%KRVOUT%\status.txt" del "%KRVOUT%\status.txt"
"%KRVSHARE%\krvscan.exe" %KRVARGS% > "%KRVOUT%\output.json" 2> "%KRVOUT%\errors.txt"
rem The exit status is written before any SET, which in a .cmd file sets it to 0. Where cmd
rem knows %ERRORLEVEL% (2000 and later) it is kept exactly, a crash's exception code included
rem (0xC0000005 is -1073741819). NT 4.0 has only IF ERRORLEVEL N (N or more): statuses above 4,
rem not krvscan's own, are kept as 5, and any below 0 (a crash) as -1.
if not "%ERRORLEVEL%"=="" echo %ERRORLEVEL% > "%KRVOUT%\status.txt"
if not "%ERRORLEVEL%"=="" goto end
if errorlevel 5 echo 5 > "%KRVOUT%\status.txt"
if errorlevel 4 if not errorlevel 5 echo 4 > "%KRVOUT%\status.txt"
if errorlevel 3 if not errorlevel 4 echo 3 > "%KRVOUT%\status.txt"
if errorlevel 2 if not errorlevel 3 echo 2 > "%KRVOUT%\status.txt"
if errorlevel 1 if not errorlevel 2 echo 1 > "%KRVOUT%\status.txt"
if errorlevel 0 if not errorlevel 1 echo 0 > "%KRVOUT%\status.txt"
if not errorlevel 0 echo -1 > "%KRVOUT%\status.txt"
goto end

:noname
echo krvscan.cmd: the machine has no name (COMPUTERNAME): nothing scanned
:end
endlocal
