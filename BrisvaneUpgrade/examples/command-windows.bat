@echo off
rem Sample post-install script for BrisvaneUpgrade on Windows.
rem
rem To use it, copy it as "command.bat" into the folder of BrisvaneUpgrade.exe,
rem beside the client "bvc.exe". After an installer has run, BrisvaneUpgrade
rem runs it through cmd, hidden, with the upgrader's own (administrator)
rem rights, and waits for it (at most 60 s) before starting the client again.
rem The exit code goes into the upgrade log as "wait for script execution, the
rem result: N"; it does not change what happens next.
rem
rem This sample changes nothing: it checks that the installer left a client
rem that can be started, and reports the outcome through its exit code.

if not exist "%~dp0bvc.exe" (
  rem 2: no client beside the upgrader after the installer ran.
  exit /b 2
)
exit /b 0
