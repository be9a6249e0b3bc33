#!/usr/bin/env bash
# Starts or stops a PipeWire daemon and WirePlumber, whose JACK the MIDI tests use: PipeWire's
# stock configuration drives its graph with a dummy driver, so no sound card is needed. Each
# runs under XDG_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS, which the caller points into a
# folder of the build tree (VELMORA_PIPEWIRE_STATE_DIR): the desktop's PipeWire is never met,
# and CI (root, without a session bus or a runtime folder) gets both.
#   pipewire-server.sh start|stop
set -euo pipefail
: "${VELMORA_PIPEWIRE_STATE_DIR:?VELMORA_PIPEWIRE_STATE_DIR must name the state folder}"
: "${XDG_RUNTIME_DIR:?XDG_RUNTIME_DIR must be the runtime folder}"
: "${DBUS_SESSION_BUS_ADDRESS:?DBUS_SESSION_BUS_ADDRESS must name the bus}"
state=$VELMORA_PIPEWIRE_STATE_DIR
unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR

# A zombie is gone: whoever adopted it reaps it in its own time.
alive() { [[ $(ps -o stat= -p "$1" 2>/dev/null) == [^Z]* ]]; }

# Ours only: each by the pid it was started with, checked against its command name.
stop_one() {
  local name=$1 pidfile="$state/$1.pid" pid
  [[ -f $pidfile ]] || return 0
  pid=$(<"$pidfile")
  if alive "$pid" && [[ $(ps -o comm= -p "$pid") == "$name" ]]; then
    kill -TERM "$pid"
    for _ in $(seq 100); do
      alive "$pid" || break
      sleep 0.05
    done
    if alive "$pid"; then kill -KILL "$pid"; fi
  fi
  rm -f "$pidfile"
}

stop() {
  stop_one wireplumber
  stop_one pipewire
  stop_one dbus-daemon
  rm -f "$XDG_RUNTIME_DIR"/pipewire-0 "$XDG_RUNTIME_DIR"/pipewire-0.lock
}

# Every descriptor redirected: CTest waits for the fixture's output to close.
start_one() {
  local name=$1
  shift
  "$@" >"$state/$name.log" 2>&1 </dev/null &
  echo $! >"$state/$name.pid"
}

wait_for() {
  local what=$1 name=$2
  shift 2
  for _ in $(seq 200); do
    "$@" && return 0
    if ! alive "$(<"$state/$name.pid")"; then
      echo "$name exited while starting:" >&2
      cat "$state/$name.log" >&2
      stop
      exit 1
    fi
    sleep 0.1
  done
  echo "$what did not come within 20 s:" >&2
  cat "$state/$name.log" >&2
  stop
  exit 1
}

jack_answers() { [[ $(pw-jack jack_wait -c 2>/dev/null) == running ]]; }
dummy_driver() { pw-cli ls Node 2>/dev/null | grep -q '"Dummy-Driver"'; }

case "${1:-}" in
  start)
    stop  # what an interrupted run left
    mkdir -p "$state" "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"
    bus=${DBUS_SESSION_BUS_ADDRESS#unix:path=}
    rm -f "$bus"
    start_one dbus-daemon dbus-daemon --session --nofork --nopidfile \
      --address="$DBUS_SESSION_BUS_ADDRESS"
    wait_for "the session bus" dbus-daemon test -S "$bus"
    start_one pipewire pipewire
    wait_for "PipeWire's dummy driver" pipewire dummy_driver
    start_one wireplumber wireplumber
    wait_for "PipeWire's JACK" wireplumber jack_answers
    # 256 frames rather than 1024: a test that waits for cycles waits less.
    pw-metadata -n settings 0 clock.force-quantum 256 >/dev/null
    echo "PipeWire running under $XDG_RUNTIME_DIR (pid $(<"$state/pipewire.pid"))"
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
