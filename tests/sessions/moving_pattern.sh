#!/usr/bin/env bash
# Puts a moving 1920x1080 test picture over the whole virtual screen ($DISPLAY, started by wine-run.sh) for
# screen capture tests, and takes it away again. A native X client: GDI captures of the Wine desktop see it.
#   moving_pattern.sh start PIDFILE | moving_pattern.sh stop PIDFILE
set -euo pipefail
action=$1 pidfile=$2
source "$(dirname "${BASH_SOURCE[0]}")/../testing/fixture.sh"
case $action in
  start)
    [ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run the tests through scripts/wine-run.sh"; exit 1; }
    # No terminal for the player: CTest waits for every holder of a test's output to go away.
    setsid ffplay -f lavfi -i testsrc2=size=1920x1080:rate=30 -noborder -left 0 -top 0 -loglevel quiet \
      </dev/null >/dev/null 2>&1 &
    echo $! > "$pidfile"
    sleep 2  # the window maps and shows its first pictures
    kill -0 "$(cat "$pidfile")" || { echo "ffplay did not start"; exit 1; }
    echo "moving pattern on $DISPLAY (pid $(cat "$pidfile"))"
    ;;
  stop)
    stop_pid_file "$pidfile"
    ;;
  *) echo "usage: $0 start|stop PIDFILE"; exit 2 ;;
esac
