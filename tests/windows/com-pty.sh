#!/bin/sh
# Two pseudo-terminals joined by socat, mapped as COM5 and COM6 in the Wine prefix's dosdevices
# (the prefix is the test run's own). STATE is a folder of the build tree.
#   com-pty.sh start|stop STATE
set -eu
action=$1 state=$2
devices=${WINEPREFIX:?}/dosdevices
case $action in
start)
  mkdir -p "$state"
  rm -f "$state/a" "$state/b"
  # Its output away from ctest's pipe, which would otherwise wait for socat to end.
  socat pty,raw,echo=0,link="$state/a" pty,raw,echo=0,link="$state/b" \
    </dev/null >"$state/socat.log" 2>&1 &
  echo $! >"$state/socat.pid"
  tries=0
  until [ -e "$state/a" ] && [ -e "$state/b" ]; do
    tries=$((tries + 1))
    [ $tries -le 100 ] || { echo "com-pty: socat made no terminals" >&2; exit 1; }
    sleep 0.1
  done
  ln -sfn "$(readlink -f "$state/a")" "$devices/com5"
  ln -sfn "$(readlink -f "$state/b")" "$devices/com6"
  ;;
stop)
  rm -f "$devices/com5" "$devices/com6"
  if [ -f "$state/socat.pid" ]; then
    kill "$(cat "$state/socat.pid")" 2>/dev/null || true
    rm -f "$state/socat.pid"
  fi
  ;;
esac
