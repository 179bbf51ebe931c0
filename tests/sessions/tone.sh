#!/usr/bin/env bash
# A PulseAudio server of the audio tests' own, with a null sink into which a steady 440 Hz tone plays: Wine's
# capture endpoint "Monitor of Null Output" hears it. Other programs on the machine may play into the shared
# server, or end it, while the tests listen. The tests find this server through PULSE_RUNTIME_PATH=DIR/run.
#   tone.sh start DIR | tone.sh stop DIR
set -euo pipefail
action=$1 dir=$2
export PULSE_RUNTIME_PATH=$dir/run PULSE_STATE_PATH=$dir/state
source "$(dirname "${BASH_SOURCE[0]}")/../testing/fixture.sh"

case $action in
  start)
    stop_pid_file "$dir/tone.pid"
    stop_pid_file "$dir/pulse.pid"
    rm -rf "$dir/run" "$dir/state"
    started=0
    start_own_pulse "$dir" && started=1
    echo "$own_pulse_pid" > "$dir/pulse.pid"
    [ "$started" = 1 ] || exit 1
    # No terminal for the player either: CTest waits for every holder of a test's output to go away.
    setsid ffmpeg -nostdin -loglevel quiet -re -f lavfi -i sine=frequency=440:sample_rate=48000 \
      -f pulse -device vsink "vell test tone" </dev/null >/dev/null 2>&1 &
    echo $! > "$dir/tone.pid"
    sleep 1
    kill -0 "$(cat "$dir/tone.pid")" || { echo "the tone did not start"; exit 1; }
    echo "440 Hz tone into the null sink of the server in $dir (pids $(cat "$dir/pulse.pid") $(cat "$dir/tone.pid"))"
    ;;
  stop)
    stop_pid_file "$dir/tone.pid"
    stop_pid_file "$dir/pulse.pid"
    ;;
  *) echo "usage: $0 start|stop DIR"; exit 2 ;;
esac
