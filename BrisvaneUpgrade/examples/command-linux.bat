# Sample post-install script for BrisvaneUpgrade on Linux.
#
# To use it, copy it as "command.bat" into the folder of the BrisvaneUpgrade
# executable (/usr/libexec/brisvane in the Debian package), beside the client
# "bvc.exe". Despite the name it is not a batch file here: after an installer
# has run, BrisvaneUpgrade runs it with /bin/sh (never directly), with the
# upgrader's own user and rights, standard input and output on /dev/null, and
# waits for it (at most 60 s) before starting the client again. Its output and
# exit status are not used: the upgrade log only notes that it ended.
#
# This sample changes nothing: it checks that the installer left a client that
# can be started and says so in the system log (tag brisvane-upgrade). It exits
# 0 when the client is there, 2 when not, for running it by hand.

folder=$(dirname "$0")

if [ -x "$folder/bvc.exe" ]; then
  logger -t brisvane-upgrade "post-install: the client $folder/bvc.exe is ready"
  exit 0
fi
logger -t brisvane-upgrade -p user.warning "post-install: no client that can be started at $folder/bvc.exe"
exit 2
