@echo off
rem Logon script for machines of the Windows 9x family (95, 98, Me): scans every fixed drive
rem with krvscan.exe from a share and writes what it found to a results share, in a folder
rem named after the machine (summary.py reads that share as it reads a playbook run):
rem
rem   RESULTS\NAME\output.json  krvscan's JSON Lines
rem   RESULTS\NAME\status.txt   its exit status, written last (none yet: still running)
rem
rem Set "Run logon script synchronously" (System Policy Editor: Network, Logon) so that the
rem desktop starts only once the scan has ended.
rem COMMAND.COM keeps no standard error in a file and no machine name in the environment:
rem krvname.exe, beside krvscan.exe on the share, gives the name. Set the two shares here (or in
rem the environment), without spaces: COMMAND.COM takes no quoted paths.
rem   KRVCLEAN=yes              remove what is found on every machine; otherwise report only,
rem                             except on a machine named by a file KRVSHARE\clean\NAME
if "%KRVSHARE%"=="" set KRVSHARE=\\server\krvscan
if "%KRVRESULTS%"=="" set KRVRESULTS=\\server\krvresults
set KRVHOST=
%KRVSHARE%\krvname.exe > %TEMP%\krvname.bat
call %TEMP%\krvname.bat
del %TEMP%\krvname.bat
if "%KRVHOST%"=="" goto noname
set KRVOUT=%KRVRESULTS%\%KRVHOST%
set KRVARGS=--all-fixed-drives --json
if "%KRVCLEAN%"=="yes" set KRVARGS=--all-fixed-drives --json --clean
if "%KRVCLEAN%"=="YES" set KRVARGS=--all-fixed-drives --json --clean
if exist %KRVSHARE%\clean\%KRVHOST% set KRVARGS=--all-fixed-drives --json --clean

md %KRVOUT% > nul
if exist %KRVOUT%\status.txt del %KRVOUT%\status.txt
rem Called, never started (START returns at once): the share, often the NETLOGON drive mapped
rem for this script alone, may be gone before a started program runs, and the status below
rem must be the scan's. COMMAND.COM waits for a console program such as krvscan.exe.
%KRVSHARE%\krvscan.exe %KRVARGS% > %KRVOUT%\output.json
rem The exit status, written by the one line that matches: IF ERRORLEVEL N means N or more, and
rem no SET comes first (Windows' cmd sets the status to 0 after one). Statuses above 4, not
rem krvscan's own (the program could not be loaded), are kept as 5.
if errorlevel 5 echo 5 > %KRVOUT%\status.txt
if errorlevel 4 if not errorlevel 5 echo 4 > %KRVOUT%\status.txt
if errorlevel 3 if not errorlevel 4 echo 3 > %KRVOUT%\status.txt
if errorlevel 2 if not errorlevel 3 echo 2 > %KRVOUT%\status.txt
if errorlevel 1 if not errorlevel 2 echo 1 > %KRVOUT%\status.txt
if errorlevel 0 if not errorlevel 1 echo 0 > %KRVOUT%\status.txt
if not errorlevel 0 echo -1 > %KRVOUT%\status.txt
goto end

:noname
echo krvscan.bat: the machine's name could not be read: nothing scanned
:end
set KRVHOST=
set KRVOUT=
set KRVARGS=
