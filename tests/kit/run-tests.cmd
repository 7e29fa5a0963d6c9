@echo off
rem Runs every test program of this kit, one after the other, from the
rem "tests" folder beside this file, and writes results.txt here.
rem Start it from a command prompt opened with "Run as administrator".
rem Nothing here runs the system's own DISM or sfc: the tests start
rem winrepair.exe beside stand-ins in their own folders under %TEMP%.
rem
rem Exit status: 0 when every program passed, 1 when one failed,
rem 2 when it refused to start.
setlocal EnableExtensions EnableDelayedExpansion

set "KIT=%~dp0"
if "%KIT:~-1%"=="\" set "KIT=%KIT:~0,-1%"
rem Wine's cmd.exe fails "cd" for "||" even when it worked: look instead.
cd /d "%KIT%" 2>nul
if not exist ".\%~nx0" (
  echo run-tests: not started: cannot enter the kit's folder "%KIT%".
  exit /b 2
)

rem Elevation. "net session" needs an administrator but also the Server
rem service; fltmc needs an administrator only, but not every system has it.
rem Either one succeeding is enough. Both by their full path in the system
rem folder: cmd.exe would otherwise look in the current folder first (from
rem a 32-bit prompt, Sysnative is the 64-bit system folder).
set "SYSDIR=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\net.exe" set "SYSDIR=%SystemRoot%\Sysnative"
rem Exactly 0 is success (a probe that crashed gives a negative status,
rem which "if errorlevel 1" takes for 0); and no "&&": Wine's cmd.exe runs
rem what follows it whatever the program's exit status.
set "ELEVATED="
"%SYSDIR%\net.exe" session >nul 2>&1
if "%ERRORLEVEL%"=="0" set "ELEVATED=1"
if not defined ELEVATED "%SYSDIR%\fltMC.exe" >nul 2>&1
if not defined ELEVATED if "%ERRORLEVEL%"=="0" set "ELEVATED=1"
if not defined ELEVATED (
  echo run-tests: not started: this prompt is not elevated; open a command prompt with "Run as administrator" and start run-tests.cmd there.
  exit /b 2
)

rem Writable: results.txt and the logs go here.
set "PROBE=%KIT%\write-check.tmp"
echo write check>"%PROBE%" 2>nul
if not exist "%PROBE%" (
  echo run-tests: not started: cannot write to "%KIT%"; unzip the kit into a folder you can write to.
  exit /b 2
)
del "%PROBE%" >nul 2>&1

set "TESTS=%KIT%\tests"
set "LOGS=%KIT%\logs"
set "RESULTS=%KIT%\results.txt"
if not exist "%TESTS%\tests.txt" (
  echo run-tests: not started: "%TESTS%\tests.txt" is missing; unzip the whole kit.
  exit /b 2
)
if exist "%LOGS%" rmdir /s /q "%LOGS%"
mkdir "%LOGS%"

set "WINDOWS_VERSION=unknown"
for /f "delims=" %%v in ('ver') do set "WINDOWS_VERSION=%%v"

set TOTAL=0
for /f "usebackq delims=" %%p in ("%TESTS%\tests.txt") do set /a TOTAL+=1

rem One redirection per line: Wine's cmd.exe does not redirect a block.
> "%RESULTS%" echo winrepair test kit results
>> "%RESULTS%" echo Windows: !WINDOWS_VERSION!
>> "%RESULTS%" echo Architecture: %PROCESSOR_ARCHITECTURE%
>> "%RESULTS%" echo Started: %DATE% %TIME%
>> "%RESULTS%" echo Programs: !TOTAL!; the whole output of each is in the folder "logs"
>> "%RESULTS%" echo.

echo Running !TOTAL! test programs from "%TESTS%" on !WINDOWS_VERSION!
set PASSED=0
set FAILED=0
set INDEX=0
for /f "usebackq delims=" %%p in ("%TESTS%\tests.txt") do call :run_one "%%p"

>> "%RESULTS%" echo.
>> "%RESULTS%" echo Finished: %DATE% %TIME%
>> "%RESULTS%" echo !PASSED! passed, !FAILED! failed
echo.
echo Results: "%RESULTS%"
echo !PASSED! passed, !FAILED! failed
if !FAILED! neq 0 exit /b 1
if !PASSED! neq !TOTAL! exit /b 1
exit /b 0

rem One program: run from its own folder with no input, its output to its
rem log, its outcome to the screen and to results.txt.
:run_one
set /a INDEX+=1
set "NAME=%~1"
set "LOG=%LOGS%\%NAME%.txt"
<nul set /p "=[!INDEX!/!TOTAL!] %NAME% ... "
if not exist "%TESTS%\%NAME%.exe" (
  echo missing
  >> "%RESULTS%" echo failed  %NAME%: the program is missing from the kit
  set /a FAILED+=1
  goto :eof
)
pushd "%TESTS%"
"%TESTS%\%NAME%.exe" <nul >"%LOG%" 2>&1
set "STATUS=!ERRORLEVEL!"
popd
if "!STATUS!"=="0" (
  echo passed
  >> "%RESULTS%" echo passed  %NAME%
  set /a PASSED+=1
) else (
  echo FAILED, exit status !STATUS!
  >> "%RESULTS%" echo failed  %NAME%: exit status !STATUS!, see logs\%NAME%.txt
  >> "%RESULTS%" find "[  FAILED  ] " < "%LOG%"
  set /a FAILED+=1
)
rem Tests the program skipped (a skip counts as passed), right under its
rem line. find reading its input names no file, so it adds no header line.
rem Wine's findstr prints nothing, and its find succeeds whether or not it
rem found a line, so the lines go in with no heading of their own.
>> "%RESULTS%" find "[  SKIPPED ] " < "%LOG%"
goto :eof
