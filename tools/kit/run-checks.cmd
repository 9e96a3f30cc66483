@echo off
rem The LUMO release kit: runs the Windows-side tests of both widths and the end-to-end tests
rem on this machine, against Windows' own cmd, expand.exe, schtasks.exe and Task Scheduler, and
rem writes %SystemDrive%\lumo-kit\results\summary.txt. Start it from an elevated command prompt
rem of an administrator on Windows 7 SP1, 10 or 11 (README.txt says more). Exit code 0 when
rem no test failed.
setlocal EnableExtensions DisableDelayedExpansion
set "KIT=%~dp0"
set "KIT=%KIT:~0,-1%"
set "HERE=%SystemDrive%\lumo-kit"
set "RESULTS=%SystemDrive%\lumo-kit\results"
set "STATE=%SystemDrive%\lumo-kit\state"
set "HELPER=%SystemDrive%\lumo-kit\lumokit.exe"

rem --- Refusals: not elevated, or a kit still marked as downloaded (the launcher's elevated
rem relaunch would stop at the open-file security warning).
rem (Each step's end is read with "if errorlevel": Wine's cmd runs what follows a double bar
rem after a program whatever the program ended with.)
"%KIT%\lumokit.exe" elevated
if errorlevel 1 exit /b 2
"%KIT%\lumokit.exe" unblocked "%KIT%"
if errorlevel 1 exit /b 2

rem --- Where it runs: a folder of its own that a second account can read, whose results it
rem can write. An earlier copy's state (what the machine held before it) stays. Its patterns
rem are unquoted: the folder's name has no blank, and Wine's cmd matches no quoted pattern.
if /i not "%KIT%"=="%HERE%" (
  for /d %%d in (%HERE%\*) do if /i not "%%~nxd"=="state" rd /s /q "%%d"
  if exist "%HERE%\" del /q %HERE%\*.* 2>nul
  xcopy "%KIT%" "%HERE%\" /e /i /q /y >nul
  if errorlevel 1 (
    echo The kit could not be copied to %HERE%.
    exit /b 1
  )
)
if not exist "%RESULTS%\" mkdir "%RESULTS%"
if not exist "%STATE%\" mkdir "%STATE%"
icacls "%HERE%" /inheritance:r /grant:r "*S-1-5-18:(OI)(CI)F" "*S-1-5-32-544:(OI)(CI)F" "*S-1-5-32-545:(OI)(CI)RX" >nul 2>nul
icacls "%RESULTS%" /grant "*S-1-5-32-545:(OI)(CI)M" >nul 2>nul
icacls "%STATE%" /inheritance:r /grant:r "*S-1-5-18:(OI)(CI)F" "*S-1-5-32-544:(OI)(CI)F" >nul 2>nul
rem The folder's list must show the entry given to Users (read and execute), whatever the
rem system's language calls the group; Wine's icacls changes nothing and lists nothing.
icacls "%HERE%" 2>nul | findstr /c:"(OI)(CI)(RX)" >nul 2>nul
if errorlevel 1 echo icacls did not set the kit folder's permissions here: it keeps those it inherits.

rem --- Clean-up first: what an interrupted earlier run of the kit left (above all a task
rem ALUMO<session>, whose definition carries a boot trigger), then the machine as it is now.
if exist "%STATE%\running" (
  echo An earlier run of the kit did not finish; removing what it left:
  "%HELPER%" clean "%STATE%\before.txt"
)
set "LUMOKIT_ONDRIX_ABSENT="
if not exist "%ProgramData%\Ondrix" set "LUMOKIT_ONDRIX_ABSENT=1"
"%HELPER%" snapshot "%STATE%\before.txt"
if errorlevel 1 (
  echo The machine's state could not be recorded.
  exit /b 1
)
>"%STATE%\running" echo %DATE% %TIME%

rem --- The run: every test program, GoogleTest's XML into results\. Where 32-bit programs
rem cannot run (under Wine on a kernel without them: scripts/windows-kit names the reason in
rem LUMO_NO_I686, as scripts/test does) the 32-bit test program is skipped with that reason.
if defined LUMO_NO_I686 (call :skip wine-i686) else call :run wine-i686 "%HERE%\win32\wine_tests.exe"
call :run wine-x86_64 "%HERE%\win64\wine_tests.exe"
call :run e2e "%HERE%\win64\e2e_tests.exe"
rem The libraries each launcher maps before its entry point (check 1), as a debugger sees them.
echo %TIME% modules
"%HELPER%" modules "%RESULTS%\modules.xml" "%HERE%\win32\OXUnPackLUMO.exe" "%HERE%\win64\OXUnPackLUMO.exe" >"%RESULTS%\modules.log" 2>&1
>>"%RESULTS%\runs.txt" echo modules exit code %ERRORLEVEL%
rem The standard user's cases, in a temporary local account (lumokit.exe as-user).
echo %TIME% standard-user
"%HELPER%" as-user "%RESULTS%\account.txt" "%HERE%\win32" "%HERE%\win32\wine_tests.exe" ^
  --gtest_filter=OwnFile.*:RegistryLinks.* --gtest_output=xml:%RESULTS%\standard-user.xml
if not errorlevel 1 >>"%RESULTS%\runs.txt" echo standard-user the second account's run

rem --- At the end: what the run left, its removal (what it moved aside or changed of what
rem stood before is put back), and the machine as the kit found it or not.
>"%RESULTS%\machine.txt" echo After the run:
"%HELPER%" compare "%STATE%\before.txt" >>"%RESULTS%\machine.txt"
if errorlevel 1 (
  >>"%RESULTS%\machine.txt" echo Clean-up:
  "%HELPER%" clean "%STATE%\before.txt" >>"%RESULTS%\machine.txt"
  >>"%RESULTS%\machine.txt" echo After the clean-up:
  "%HELPER%" compare "%STATE%\before.txt" >>"%RESULTS%\machine.txt"
)
del "%STATE%\running"

rem --- The summary.
"%HERE%\lumokit-summary.exe" "%HERE%\checks.txt" "%RESULTS%"
set "FAILED=%ERRORLEVEL%"
echo.
echo Results: %RESULTS%
exit /b %FAILED%

:run
echo %TIME% %~1
"%~2" --gtest_output=xml:%RESULTS%\%~1.xml >"%RESULTS%\%~1.log" 2>&1
>>"%RESULTS%\runs.txt" echo %~1 exit code %ERRORLEVEL%
goto :eof

:skip
echo %TIME% %~1 skipped
setlocal EnableDelayedExpansion
>>"%RESULTS%\runs.txt" echo %~1 skipped: !LUMO_NO_I686!
endlocal
goto :eof
