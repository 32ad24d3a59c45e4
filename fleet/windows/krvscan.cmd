@echo off
rem Start-up script for machines of the NT family (NT 4.0, 2000, XP): scans every fixed drive
rem with krvscan.exe from a share and writes what it found to a results share, in a folder
rem named after the machine (fleet/summary.py reads that share as it reads a playbook run):
rem
rem   RESULTS\NAME\output.json  krvscan's JSON Lines      RESULTS\NAME\errors.txt  its errors
rem   RESULTS\NAME\status.txt   its exit status, written last (none yet: still running)
rem
rem Set the two shares here (or in the environment). The machines run the script as the system
rem account: they need read access to KRVSHARE and write access to KRVRESULTS.
rem   KRVCLEAN=yes              remove what is found on every machine; otherwise report only,
rem                             except on a machine named by a file KRVSHARE\clean\NAME
setlocal
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
rem Exit statuses above 4 are not krvscan's own (the program could not be loaded): kept as 5.
set KRVRC=0
if errorlevel 1 set KRVRC=1
if errorlevel 2 set KRVRC=2
if errorlevel 3 set KRVRC=3
if errorlevel 4 set KRVRC=4
if errorlevel 5 set KRVRC=5
echo %KRVRC% > "%KRVOUT%\status.txt"
goto end

:noname
echo krvscan.cmd: the machine has no name (COMPUTERNAME): nothing scanned
:end
endlocal
