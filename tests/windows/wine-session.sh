#!/usr/bin/env bash
# Runs COMMAND in a Wine session of the Windows build tree: its own prefix (BUILD/wineprefix),
# one wineserver from start to end, a display (Xvfb) when there is none. Run it inside a /dev of
# its own (tests/support/private-dev.sh under unshare), so that Wine maps none of the machine's
# serial ports to COMn: scripts/cross-windows and scripts/screenshots do.
#   wine-session.sh BUILD COMMAND...
set -euo pipefail
# Only in the /dev that private-dev.sh mounts: the mount below would change the machine's own
# /dev anywhere else, and Wine would map the machine's serial ports.
if ! grep -q " /dev [^ ]*.* - tmpfs velmora-dev " /proc/self/mountinfo; then
  echo "wine-session.sh: run it under tests/support/private-dev.sh (see scripts/cross-windows)" >&2
  exit 2
fi
if [[ -z ${DISPLAY:-} ]]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
build=$(cd "$1" && pwd)
shift
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEARCH=win64
# No Mono, no Gecko, no desktop menus; no sound card, where Wine's audio drivers only complain.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winealsa.drv,winepulse.drv,wineoss.drv=d"
# The /dev of private-dev.sh reaches the machine's /dev/ptmx, whose terminals the kernel makes
# beside the machine's own /dev: new pseudo-terminals come from this name space's pts instead.
mount --bind /dev/pts/ptmx /dev/ptmx 2>/dev/null || true
# A prefix made elsewhere may hold links to the machine's ports: no COMn is kept.
mkdir -p "$WINEPREFIX"
rm -f "$WINEPREFIX"/dosdevices/com*
# One server for the whole session: a new one would start Wine's services again, whose mount
# manager rewrites the COMn links that a test made.
# Its report of what each process still held at the end goes to a file nobody needs to read.
wineserver -p 2>"$WINEPREFIX/wineserver.log"
wineboot -u >/dev/null 2>&1
status=0
"$@" || status=$?
# -k lists what each process still held: nothing to read here.
wineserver -k >/dev/null 2>&1 || true
wineserver -w || true
exit $status
