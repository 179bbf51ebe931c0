#!/usr/bin/env bash
# Puts a moving test picture over the whole virtual screen ($DISPLAY, started by wine-run.sh) for screen capture
# tests, and takes it away again. A native X client: GDI captures of the Wine desktop see it.
#   moving_pattern.sh start PIDFILE [WIDTHxHEIGHT] | moving_pattern.sh stop PIDFILE
# The picture is 1920x1080 unless another size is given (the screen's, when it is not 1920x1080).
set -euo pipefail
action=$1 pidfile=$2 size=${3:-1920x1080}
case $action in
  start)
    [ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run the tests through scripts/wine-run.sh"; exit 1; }
    # No terminal for the player: CTest waits for every holder of a test's output to go away.
    setsid ffplay -f lavfi -i testsrc2=size=${size}:rate=30 -noborder -left 0 -top 0 -loglevel quiet \
      </dev/null >/dev/null 2>&1 &
    echo $! > "$pidfile"
    sleep 2  # the window maps and shows its first pictures
    kill -0 "$(cat "$pidfile")" || { echo "ffplay did not start"; exit 1; }
    echo "moving pattern on $DISPLAY (pid $(cat "$pidfile"))"
    ;;
  stop)
    [ -s "$pidfile" ] || exit 0
    pid=$(cat "$pidfile")
    if kill "$pid" 2>/dev/null; then
      for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
    ;;
  *) echo "usage: $0 start|stop PIDFILE"; exit 2 ;;
esac
