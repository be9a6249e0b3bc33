#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, inside a /dev of its own (tests/support/private-dev.sh)
# so that Wine maps none of the machine's serial ports to COMn. Its prefix is private to the
# build tree and every Wine process of it, wineserver included, starts and ends in here.
#   wine-tests.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEARCH=win64
# No Mono, no Gecko, no desktop menus; no sound card, where Wine's audio drivers only complain.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winealsa.drv,winepulse.drv,wineoss.drv=d"
# The /dev of private-dev.sh reaches the machine's /dev/ptmx, whose terminals the kernel makes
# beside the machine's own /dev: new pseudo-terminals come from this name space's pts instead.
mount --bind /dev/pts/ptmx /dev/ptmx 2>/dev/null || true
# A prefix made elsewhere may hold links to the machine's ports: no COMn is kept.
mkdir -p "$WINEPREFIX"
rm -f "$WINEPREFIX"/dosdevices/com*
# One server for the whole run: a new one would start Wine's services again, whose mount
# manager rewrites the COMn links that a test made.
wineserver -p
wineboot -u >/dev/null 2>&1
status=0
ctest --test-dir "$build" --output-on-failure -j2 || status=$?
# -k lists what each process still held: nothing to read here.
wineserver -k >/dev/null 2>&1 || true
wineserver -w || true
exit $status
