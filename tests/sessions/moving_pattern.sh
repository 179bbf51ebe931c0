#!/usr/bin/env bash
# Puts a moving test picture over the whole virtual screen ($DISPLAY, started by wine-run.sh) for screen capture
# tests and benchmarks, and takes it away again. A native X client: GDI captures of the Wine desktop see it.
#   moving_pattern.sh start PIDFILE [WIDTHxHEIGHT] | moving_pattern.sh stop PIDFILE
#   moving_pattern.sh around COMMAND...   the picture for as long as COMMAND runs; COMMAND's exit status
# The picture is 1920x1080 unless another size is given (the screen's, when it is not 1920x1080). It costs about
# half a core: a test has it only while it runs, so that tests running beside it are not slowed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../testing/fixture.sh"
start_pattern() { # pidfile size
  [ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run the tests through scripts/wine-run.sh"; return 1; }
  # No terminal for the player: CTest waits for every holder of a test's output to go away.
  setsid ffplay -f lavfi -i "testsrc2=size=$2:rate=30" -noborder -left 0 -top 0 -loglevel quiet \
    </dev/null >/dev/null 2>&1 &
  echo $! > "$1"
  sleep 2  # the window maps and shows its first pictures
  kill -0 "$(cat "$1")" || { echo "ffplay did not start"; return 1; }
  echo "moving pattern on $DISPLAY (pid $(cat "$1"))"
}
case ${1:-} in
  start) start_pattern "$2" "${3:-1920x1080}" ;;
  stop) stop_pid_file "$2" ;;
  around)
    shift
    pidfile=$(mktemp /tmp/vell-pattern.XXXXXX)
    trap 'stop_pid_file "$pidfile"' EXIT
    start_pattern "$pidfile" 1920x1080
    set +e
    "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-run.sh" "$@"
    exit $?
    ;;
  *) echo "usage: $0 start PIDFILE [WIDTHxHEIGHT] | stop PIDFILE | around COMMAND..."; exit 2 ;;
esac
