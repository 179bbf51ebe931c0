#!/usr/bin/env bash
# Puts a moving test picture over the whole virtual screen (every display wine-run.sh started) for screen capture
# tests, and takes it away again. A native X client: GDI captures of the Wine desktop see it.
#   moving_pattern.sh start PIDFILE [WIDTHxHEIGHT] | moving_pattern.sh stop PIDFILE
# The picture is 1920x1080 unless another size is given (the screen's, when it is not 1920x1080).
set -euo pipefail
action=$1 pidfile=$2 size=${3:-1920x1080}
source "$(dirname "${BASH_SOURCE[0]}")/../testing/fixture.sh"
case $action in
  start)
    [ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run the tests through scripts/wine-run.sh"; exit 1; }
    : > "$pidfile"
    # On every desktop of a parallel run: the tests that want it may run on any of them.
    for display in ${VELL_WINE_DISPLAYS:-$DISPLAY}; do
      # No terminal for the player: CTest waits for every holder of a test's output to go away.
      DISPLAY=$display setsid ffplay -f lavfi -i "testsrc2=size=${size}:rate=30" -noborder -left 0 -top 0 \
        -loglevel quiet </dev/null >/dev/null 2>&1 &
      echo $! >> "$pidfile"
    done
    sleep 2  # the windows map and show their first pictures
    for pid in $(cat "$pidfile"); do kill -0 "$pid" || { echo "ffplay did not start"; exit 1; }; done
    echo "moving pattern on ${VELL_WINE_DISPLAYS:-$DISPLAY} (pids $(echo $(cat "$pidfile")))"
    ;;
  stop)
    stop_pid_file "$pidfile"
    ;;
  *) echo "usage: $0 start|stop PIDFILE [WIDTHxHEIGHT]"; exit 2 ;;
esac
