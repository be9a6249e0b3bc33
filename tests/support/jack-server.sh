#!/usr/bin/env bash
# Starts or stops the JACK server (dummy driver, no sound card needed) that the MIDI
# integration tests use. The server's name comes from JACK_DEFAULT_SERVER, so that test runs
# never meet another server on the machine.
#   jack-server.sh start|stop
set -euo pipefail
: "${JACK_DEFAULT_SERVER:?JACK_DEFAULT_SERVER must name the server}"
state="${VELMORA_JACK_STATE_DIR:-${TMPDIR:-/tmp}}"
pidfile="$state/jackd-$JACK_DEFAULT_SERVER.pid"
logfile="$state/jackd-$JACK_DEFAULT_SERVER.log"
export JACK_NO_AUDIO_RESERVATION=1

running() { [[ $(jack_wait -c 2>/dev/null) == running ]]; }

stop() {
  [[ -f $pidfile ]] || return 0
  local pid
  pid=$(<"$pidfile")
  if kill -0 "$pid" 2>/dev/null && [[ $(ps -o comm= -p "$pid") == jackd ]]; then
    kill -TERM "$pid"
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "jackd $pid ignored TERM; killing it" >&2
      kill -KILL "$pid"
    fi
  fi
  rm -f "$pidfile"
}

case "${1:-}" in
  start)
    stop  # a server left behind by an interrupted run
    mkdir -p "$state"
    # Every descriptor redirected: CTest waits for the fixture's output to close.
    # Synchronous: the server waits for every client's cycle before the next. Asynchronous, on a
    # loaded machine without real-time scheduling, a client that is not finished in time leaves
    # its output buffer as it was, and its readers take the last cycle's events a second time
    # (a whole sysex twice); a cycle slowed by ThreadSanitizer would also overlap the next.
    jackd --sync --no-realtime -d dummy -r 48000 -p 64 >"$logfile" 2>&1 </dev/null &
    echo $! >"$pidfile"
    for _ in $(seq 200); do
      if ! kill -0 "$(<"$pidfile")" 2>/dev/null; then
        echo "jackd exited while starting:" >&2
        cat "$logfile" >&2
        rm -f "$pidfile"
        exit 1
      fi
      if running; then
        echo "jackd '$JACK_DEFAULT_SERVER' running (pid $(<"$pidfile"))"
        exit 0
      fi
      sleep 0.1
    done
    echo "jackd did not come up within 20 s:" >&2
    cat "$logfile" >&2
    stop
    exit 1
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
