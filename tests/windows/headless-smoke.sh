#!/bin/sh
# velmora-headless.exe under Wine opens the first port it finds (COM5, com-pty.sh's) and ends
# through its close path on Ctrl+C (Wine turns SIGINT into the console's Ctrl+C event).
#   headless-smoke.sh PROGRAM STATE
set -eu
program=$1 state=$2
out=$state/headless.out
# Emptied before the start: the wait below must not read a previous run's lines.
: >"$out"
# A profile of its own: the window's smoke test may run the default one meanwhile.
wine "$program" --no-settings --profile smoke >>"$out" 2>&1 &
pid=$!
tries=0
until grep -q "État (smoke) : RS232 ouvert : COM5" "$out"; do
  tries=$((tries + 1))
  if [ $tries -gt 600 ] || ! kill -0 $pid 2>/dev/null; then
    echo "headless-smoke: the port never opened" >&2
    cat "$out" >&2
    kill $pid 2>/dev/null || true
    exit 1
  fi
  sleep 0.1
done
kill -INT $pid
status=0
wait $pid || status=$?
cat "$out"
[ $status -eq 0 ] || { echo "headless-smoke: exit status $status" >&2; exit 1; }
# The stop, then the port closed by the close path, in that order.
sed -n '/Arrêt demandé/,$p' "$out" | grep -q "État (smoke) : RS232 fermé : COM5" ||
  { echo "headless-smoke: no clean end" >&2; exit 1; }
