#!/bin/sh
# Runs a command in a PID namespace with a /proc of its own where the host
# allows one (as root), else as it is. The single-instance guard counts every
# PELMATIC.EXE it can see: in a namespace of its own, a suite sees only its
# own programs, so the plain and the sanitizer pass can run at one time.
own="unshare --pid --fork --kill-child --mount-proc"
if $own true 2>/dev/null; then
  exec $own "$@"
fi
exec "$@"
