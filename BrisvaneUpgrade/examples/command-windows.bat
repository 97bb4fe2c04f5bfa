@echo off
rem Sample post-install script for BrisvaneUpgrade on Windows.
rem
rem To use it, copy it as "command.bat" into the folder of BrisvaneUpgrade.exe,
rem beside the client "bvc.exe". After an installer has run, BrisvaneUpgrade
rem runs it through cmd, hidden, with the upgrader's own (administrator)
rem rights, and waits for it (at most 60 s) before starting the client again.
rem Its output and exit code are not used: the upgrade log only notes that it
rem ended.
rem
rem This sample changes nothing: it checks that the installer left the client
rem and says so in the Application event log (source EventCreate). It exits 0
rem when the client is there, 2 when not, for running it by hand.

if exist "%~dp0bvc.exe" (
  "%SystemRoot%\System32\eventcreate.exe" /L APPLICATION /T INFORMATION /ID 1 /D "BrisvaneUpgrade post-install: the client %~dp0bvc.exe is ready" >nul 2>&1
  exit /b 0
)
"%SystemRoot%\System32\eventcreate.exe" /L APPLICATION /T WARNING /ID 2 /D "BrisvaneUpgrade post-install: no client at %~dp0bvc.exe" >nul 2>&1
exit /b 2
