#!/bin/sh
# velmora-headless.exe under Wine, given COM7 before the prefix maps it: COM7 comes (a link to a
# fresh pseudo-terminal), its far end goes while the port is open, the link goes, and COM7 comes
# back on another pseudo-terminal. The link leads to a bind mount of the terminal, which outlives
# the terminal's own node: the list of ports still holds COM7 when its far end goes, so the
# driver alone can tell it went. Run in the mount name space of scripts/cross-windows.
#   com-come-and-go.sh PROGRAM STATE
set -eu
program=$1 state=$2
devices=${WINEPREFIX:?}/dosdevices
mkdir -p "$state"
out=$state/program.out
: >"$out"
pids=
near=$state/near
cleanup() {
  rm -f "$devices/com7"
  umount "$near" 2>/dev/null || true
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# Waits up to 60 s for a line holding TEXT after line FROM of the output.
wait_for() {
  tries=0
  until tail -n +"$2" "$out" | grep -qF "$1"; do
    tries=$((tries + 1))
    if [ $tries -gt 600 ] || ! kill -0 "$program_pid" 2>/dev/null; then
      echo "com-come-and-go: no \"$1\"" >&2
      cat "$out" >&2
      exit 1
    fi
    sleep 0.1
  done
}
lines() { wc -l <"$out"; }

# One pseudo-terminal pair; COM7 names the near end. Its socat's pid in $socat_pid.
plug() {
  rm -f "$state/a" "$state/b"
  socat pty,raw,echo=0,link="$state/a" pty,raw,echo=0,link="$state/b" \
    </dev/null >>"$state/socat.log" 2>&1 &
  socat_pid=$!
  pids="$pids $socat_pid"
  tries=0
  until [ -e "$state/a" ] && [ -e "$state/b" ]; do
    tries=$((tries + 1))
    [ $tries -le 100 ] || { echo "com-come-and-go: socat made no terminals" >&2; exit 1; }
    sleep 0.1
  done
  : >"$near"
  mount --bind "$(readlink -f "$state/a")" "$near"
  ln -sfn "$near" "$devices/com7"
}

rm -f "$devices/com7"
wine "$program" --no-settings --profile comeandgo --port COM7 >>"$out" 2>&1 &
program_pid=$!
pids="$pids $program_pid"
wait_for "COM7 : absent, ouvert dès son arrivée" 1

from=$(lines)
plug
wait_for "COM7 : arrivé, ouvert" "$from"
wait_for "RS232 ouvert : COM7" "$from"

from=$(lines)
kill "$socat_pid"
wait_for "COM7 : débranché" "$from"
# Red, not yet absent: the driver told.
tail -n +"$from" "$out" | tr -d "\r" | grep -q "RS232 fermé : COM7$" ||
  { echo "com-come-and-go: the port's loss was not the driver's" >&2; cat "$out" >&2; exit 1; }
rm -f "$devices/com7"
umount "$near"

from=$(lines)
plug
wait_for "COM7 : rebranché, rouvert" "$from"

kill -INT "$program_pid"
status=0
wait "$program_pid" || status=$?
cat "$out"
[ $status -eq 0 ] || { echo "com-come-and-go: exit status $status" >&2; exit 1; }
