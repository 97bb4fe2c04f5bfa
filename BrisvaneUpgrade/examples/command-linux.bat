# Sample post-install script for BrisvaneUpgrade on Linux.
#
# To use it, copy it as "command.bat" into the folder of the BrisvaneUpgrade
# executable (/usr/libexec/brisvane in the Debian package), beside the client
# "bvc.exe". Despite the name it is not a batch file here: after an installer
# has run, BrisvaneUpgrade runs it with /bin/sh (never directly), with the
# upgrader's own user and rights, standard input and output on /dev/null, and
# waits for it (at most 60 s) before starting the client again. The exit status
# goes into the upgrade log as "wait for script execution, the result: N"; it
# does not change what happens next.
#
# This sample changes nothing: it checks that the installer left a client that
# can be started, and reports the outcome through its exit status.

folder=$(dirname "$0")

if [ ! -x "$folder/bvc.exe" ]; then
  # 2: no client beside the upgrader after the installer ran.
  exit 2
fi
exit 0
