@echo off
rem Opt-in, apart from run-tests.cmd: runs the system's own sfc and writes
rem its last lines and its exit code to sfc-evidence.txt beside this file,
rem for the developers. What sfc's exit codes mean is not documented, and
rem the program's verdicts after sfc rest on them.
rem
rem It asks before each run: first "sfc /verifyonly" (checks, repairs
rem nothing), then, only if confirmed again, "sfc /scannow" (the run the
rem program makes; it repairs what it can). Start it from a command prompt
rem opened with "Run as administrator": sfc needs one.
rem
rem sfc is taken by its full path from the system folder, never from beside
rem this file or from PATH. A 32-bit cmd.exe on 64-bit windows sees System32
rem redirected to SysWOW64 (the file system redirector) and reaches the real
rem System32 through the Sysnative alias, which only 32-bit programs see.
rem
rem tests\evidence_writer.exe writes every line of sfc-evidence.txt (UTF-8
rem with a byte-order mark, CR LF): a redirected echo would be in the
rem console's code page, and sfc writes UTF-16 when its output goes to a
rem file. Nothing here changes the console's code page.
rem
rem Exit status: 0 when sfc-evidence.txt was written, 1 when writing it
rem failed, 2 when nothing ran (refused to start, or not confirmed).
rem
rem WINREPAIR_KIT_TEST_NOT_ELEVATED=refuse makes the elevation check fail on
rem purpose; only the kit's own test sets it, to see the refusal.

rem Delayed expansion stays off: it would eat a "!" in the folder's path.
setlocal EnableExtensions DisableDelayedExpansion

set "KIT=%~dp0"
if "%KIT:~-1%"=="\" set "KIT=%KIT:~0,-1%"
set "WRITER=%KIT%\tests\evidence_writer.exe"
set "EVIDENCE=%KIT%\sfc-evidence.txt"
set "CAPTURE=%KIT%\sfc-output.tmp"
set "PROBE=%KIT%\sfc-evidence.probe"

set "WHY=tests\evidence_writer.exe is missing; unzip the whole kit."
if not exist "%WRITER%" goto :refuse
set "WHY=SystemRoot is not set, so the system folder is unknown."
if not defined SystemRoot goto :refuse

set "SYSDIR=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\sfc.exe" set "SYSDIR=%SystemRoot%\Sysnative"
set "SFC=%SYSDIR%\sfc.exe"

rem Elevation, as run-tests.cmd checks it: "net session" needs an
rem administrator and the Server service, fltmc an administrator only.
set "ELEVATED="
"%SYSDIR%\net.exe" session >nul 2>&1 && set "ELEVATED=1"
if not defined ELEVATED "%SYSDIR%\fltMC.exe" >nul 2>&1 && set "ELEVATED=1"
if /i "%WINREPAIR_KIT_TEST_NOT_ELEVATED%"=="refuse" set "ELEVATED="
set "WHY=this prompt is not elevated, and sfc needs an administrator; open a command prompt with "Run as administrator" and start sfc-evidence.cmd there."
if not defined ELEVATED goto :refuse

set "WHY=there is no sfc.exe in the system folder: %SFC%"
if not exist "%SFC%" goto :refuse

set "WHY=cannot write to the kit's folder; unzip the kit into a folder you can write to."
"%WRITER%" line "%PROBE%" "write check" >nul 2>&1
if not exist "%PROBE%" goto :refuse
del "%PROBE%" >nul 2>&1

echo This runs the system's own sfc and writes what it printed last and its
echo exit code to sfc-evidence.txt in this folder. Each run may take half an
echo hour or more, and shows nothing here until it ends.
echo.
echo First "sfc /verifyonly": it checks the system files and repairs nothing.
call :ask "Run sfc /verifyonly now?"
set "WHY=not confirmed; sfc did not run and sfc-evidence.txt was not written."
if not defined CONFIRMED goto :refuse

set "FAILED="
if exist "%EVIDENCE%" del "%EVIDENCE%" >nul 2>&1
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

echo.
echo Then "sfc /scannow": the run winrepair makes. It repairs what it can, and
echo only this run can show which exit code sfc gives when it repaired files.
call :ask "Run sfc /scannow now?"
if defined CONFIRMED (
  call :run_sfc scannow
) else (
  call :put ""
  call :put "sfc /scannow: not run (not confirmed)"
)

echo.
set "MESSAGE=Written: %EVIDENCE%"
call :show
if defined FAILED (
  echo sfc-evidence: some lines could not be written; see the messages above.
  exit /b 1
)
echo Please send this file with your results.txt.
exit /b 0

:refuse
set "MESSAGE=sfc-evidence: not started: %WHY%"
call :show
exit /b 2

rem Echoes MESSAGE as it is, whatever it holds (a path with "&", ")" or "!").
:show
setlocal EnableDelayedExpansion
echo !MESSAGE!
endlocal
goto :eof

rem Asks a yes/no question; CONFIRMED is set only for Y or yes. Compared
rem with delayed expansion, so that an answer with a quote cannot break the
rem line.
:ask
set "CONFIRMED="
set "ANSWER="
set /p "ANSWER=%~1 Type Y and press Enter, or just Enter to stop: "
setlocal EnableDelayedExpansion
set "YES="
if /i "!ANSWER!"=="y" set "YES=1"
if /i "!ANSWER!"=="yes" set "YES=1"
endlocal & set "CONFIRMED=%YES%"
goto :eof

rem One line of the file.
:put
"%WRITER%" line "%EVIDENCE%" "%~1"
if errorlevel 1 set "FAILED=1"
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
rem the screen. sfc gets no input.
:run_sfc
echo.
echo Running sfc /%~1 ...
call :put ""
call :put "sfc /%~1"
call :put "  started: %DATE% %TIME%"
if exist "%CAPTURE%" del "%CAPTURE%" >nul 2>&1
"%SFC%" /%~1 <nul >"%CAPTURE%" 2>&1
set "CODE=%ERRORLEVEL%"
call :put "  ended: %DATE% %TIME%"
"%WRITER%" output "%EVIDENCE%" "%CAPTURE%"
if errorlevel 1 set "FAILED=1"
"%WRITER%" code "%EVIDENCE%" "%CODE%"
if errorlevel 1 set "FAILED=1"
del "%CAPTURE%" >nul 2>&1
goto :eof
