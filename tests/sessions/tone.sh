#!/usr/bin/env bash
# Plays a steady 440 Hz tone into PulseAudio's null sink (started by wine-run.sh) for the audio tests: Wine's
# capture endpoint "Monitor of Null Output" hears it. And stops it again.
#   tone.sh start PIDFILE | tone.sh stop PIDFILE
set -euo pipefail
action=$1 pidfile=$2
case $action in
  start)
    pactl info >/dev/null 2>&1 || { echo "no PulseAudio: run the tests through scripts/wine-run.sh"; exit 1; }
    # No terminal for the player: CTest waits for every holder of a test's output to go away.
    setsid ffmpeg -nostdin -loglevel quiet -re -f lavfi -i sine=frequency=440:sample_rate=48000 \
      -f pulse -device vsink "vell test tone" </dev/null >/dev/null 2>&1 &
    echo $! > "$pidfile"
    sleep 1
    kill -0 "$(cat "$pidfile")" || { echo "the tone did not start"; exit 1; }
    echo "440 Hz tone into the null sink (pid $(cat "$pidfile"))"
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
