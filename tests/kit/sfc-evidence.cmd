@echo off
rem Opt-in, apart from run-tests.cmd: runs the system's own sfc and writes
rem its last lines and its exit code to sfc-evidence.txt beside this file,
rem for the developers. What sfc's exit codes mean is not documented, and
rem the program's verdicts after sfc rest on them.
rem
rem It asks before each run: first "sfc /verifyonly" (checks, repairs
rem nothing), then, only if confirmed again, "sfc /scannow" (the run the
rem program makes; it repairs what it can). Start it from a command prompt
rem opened with "Run as administrator": sfc needs one. Started from Explorer
rem instead, its window waits for Enter before it closes.
rem
rem sfc is taken by its full path from the system folder, never from beside
rem this file or from PATH. A 32-bit cmd.exe on 64-bit windows sees System32
rem redirected to SysWOW64 (the file system redirector) and reaches the real
rem System32 through the Sysnative alias, which only 32-bit programs see.
rem
rem tests\evidence_writer.exe asks the questions, in English and Russian,
rem and writes every line of sfc-evidence.txt (UTF-8 with a byte-order mark,
rem CR LF): text in this file or a redirected echo would be in the console's
rem code page, and sfc writes UTF-16 when its output goes to a file. It
rem discards the keys typed while sfc ran before it reads an answer. Nothing
rem here changes the console's code page.
rem
rem Each run adds its own record to sfc-evidence.txt, after those of earlier
rem runs. sfc's own output goes to a file of its own first; it is deleted
rem once its lines are in sfc-evidence.txt, and kept when they could not be.
rem
rem Exit status: 0 when sfc-evidence.txt was written, 1 when a line of it
rem could not be, 2 when nothing ran (refused to start, or not confirmed).

rem Delayed expansion stays off: it would eat a "!" in the folder's path.
setlocal EnableExtensions DisableDelayedExpansion

set "KIT=%~dp0"
if "%KIT:~-1%"=="\" set "KIT=%KIT:~0,-1%"
set "WRITER=%KIT%\tests\evidence_writer.exe"
set "EVIDENCE=%KIT%\sfc-evidence.txt"
set "PROBE=%KIT%\sfc-evidence.probe"

set "SELF=%~f0"

set "WHY=tests\evidence_writer.exe is missing; unzip the whole kit."
if not exist "%WRITER%" goto :refuse
set "WHY=SystemRoot is not set, so the system folder is unknown."
if not defined SystemRoot goto :refuse

set "SYSDIR=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\sfc.exe" set "SYSDIR=%SystemRoot%\Sysnative"
set "SFC=%SYSDIR%\sfc.exe"

rem Elevation, as run-tests.cmd checks it: "net session" needs an
rem administrator and the Server service, fltmc an administrator only.
rem Exactly 0 is success (a probe that crashed gives a negative status,
rem which "if errorlevel 1" takes for 0); and no "&&": Wine's cmd.exe runs
rem what follows it whatever the program's exit status.
set "ELEVATED="
"%SYSDIR%\net.exe" session >nul 2>&1
if "%ERRORLEVEL%"=="0" set "ELEVATED=1"
if not defined ELEVATED "%SYSDIR%\fltMC.exe" >nul 2>&1
if not defined ELEVATED if "%ERRORLEVEL%"=="0" set "ELEVATED=1"
set "WHY=this prompt is not elevated, and sfc needs an administrator; open a command prompt with "Run as administrator" and start sfc-evidence.cmd there."
if not defined ELEVATED goto :refuse

set "WHY=there is no sfc.exe in the system folder: %SFC%"
if not exist "%SFC%" goto :refuse

set "WHY=cannot write to the kit's folder; unzip the kit into a folder you can write to."
"%WRITER%" line "%PROBE%" "write check" >nul 2>&1
if not exist "%PROBE%" goto :refuse
del "%PROBE%" >nul 2>&1

rem Yes is exit status 0 and nothing else: a helper that crashed gives a
rem negative status, which "if errorlevel 1" would take for 0.
"%WRITER%" ask verifyonly
set "ANSWER=%ERRORLEVEL%"
set "WHY=not confirmed; sfc did not run, and nothing was added to sfc-evidence.txt."
if not "%ANSWER%"=="0" goto :refuse

set "FAILED="
rem A blank line between this run's record and the one before it.
if exist "%EVIDENCE%" call :put ""
set "WINDOWS_VERSION=unknown"
for /f "delims=" %%v in ('ver') do set "WINDOWS_VERSION=%%v"
call :read_registry
call :put "winrepair: sfc evidence"
call :put "Windows: %WINDOWS_VERSION%"
call :put "Registry: ProductName=%REG_ProductName%; DisplayVersion=%REG_DisplayVersion%; CurrentBuild=%REG_CurrentBuild%; UBR=%REG_UBR%"
if defined PROCESSOR_ARCHITEW6432 (
  call :put "Architecture: %PROCESSOR_ARCHITEW6432% (this prompt: 32-bit)"
) else (
  call :put "Architecture: %PROCESSOR_ARCHITECTURE%"
)
call :put "sfc: %SFC%"

call :run_sfc verifyonly

"%WRITER%" ask scannow
set "ANSWER=%ERRORLEVEL%"
if "%ANSWER%"=="0" (
  call :run_sfc scannow
) else (
  call :put ""
  call :put "sfc /scannow: not run (not confirmed)"
)

echo.
set "MESSAGE=Written: %EVIDENCE%"
call :show
set "STATUS=0"
if defined FAILED (
  echo sfc-evidence: some lines could not be written; see the messages above.
  set "STATUS=1"
) else (
  echo Please send this file with your results.txt.
)
goto :finish

:refuse
set "MESSAGE=sfc-evidence: not started: %WHY%"
call :show
set "STATUS=2"
goto :finish

rem Started from Explorer (a double-click, or "Run as administrator" on this
rem file), cmd.exe runs with /c for this file alone, and its window closes
rem as soon as the script ends: the helper then waits for Enter, having
rem discarded the keys typed while sfc ran. It reads cmd.exe's command line
rem (%cmdcmdline%, which a child does not see) from STARTED_AS, copied with
rem delayed expansion, which takes the text as it is, quotes and all. Without
rem the helper, cmd's own pause, from Explorer or not.
:finish
setlocal EnableDelayedExpansion
set "STARTED_AS=!cmdcmdline!"
if exist "!WRITER!" ("!WRITER!" close "!SELF!") else pause
endlocal
exit /b %STATUS%

rem Echoes MESSAGE as it is, whatever it holds (a path with "&", ")" or "!").
:show
setlocal EnableDelayedExpansion
echo !MESSAGE!
endlocal
goto :eof

rem One line of the file.
:put
"%WRITER%" line "%EVIDENCE%" "%~1"
if not "%ERRORLEVEL%"=="0" set "FAILED=1"
goto :eof

rem The version as the registry holds it; ProductName may lag behind the
rem release, the build number does not. reg shows UBR in 0x-hex.
:read_registry
set "KEY=HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion"
for %%n in (ProductName DisplayVersion CurrentBuild UBR) do (
  set "REG_%%n="
  for /f "tokens=1,2,*" %%a in ('""%SYSDIR%\reg.exe" query "%KEY%" /v %%n 2>nul"') do (
    if /i "%%a"=="%%n" set "REG_%%n=%%c"
  )
)
if defined REG_UBR set /a "REG_UBR=%REG_UBR%" >nul
goto :eof

rem One run of sfc with the option given: its output to a file of its own
rem (UTF-16), then its last lines and exit code into sfc-evidence.txt and on
rem the screen. sfc gets no input. Its own output is the only copy until
rem its lines are in sfc-evidence.txt: kept when they could not be written,
rem under a name no earlier run took.
:run_sfc
echo.
echo Running sfc /%~1 ...
call :put ""
call :put "sfc /%~1"
call :put "  started: %DATE% %TIME%"
set "SEQ=0"
:run_sfc_name
set /a "SEQ+=1"
set "CAPTURE_NAME=sfc-%~1-output-%SEQ%.txt"
if exist "%KIT%\%CAPTURE_NAME%" goto :run_sfc_name
set "CAPTURE=%KIT%\%CAPTURE_NAME%"
"%SFC%" /%~1 <nul >"%CAPTURE%" 2>&1
set "CODE=%ERRORLEVEL%"
call :put "  ended: %DATE% %TIME%"
"%WRITER%" output "%EVIDENCE%" "%CAPTURE%"
set "CONVERTED=%ERRORLEVEL%"
"%WRITER%" code "%EVIDENCE%" "%CODE%"
if not "%ERRORLEVEL%"=="0" set "FAILED=1"
if "%CONVERTED%"=="0" (
  del "%CAPTURE%" >nul 2>&1
  goto :eof
)
set "FAILED=1"
call :put "  sfc's own output could not be added here; it is kept in %CAPTURE_NAME%"
set "MESSAGE=sfc's own output is kept in: %CAPTURE%"
call :show
goto :eof
