# Sourced, not run: what test fixtures, scenarios and benchmarks start and stop.

# stop_pid_file FILE: ends the process whose pid FILE holds (asked first, killed after a second), then removes
# FILE. Nothing to do without FILE.
stop_pid_file() {
  local file=$1 pid
  [ -s "$file" ] || return 0
  pid=$(cat "$file")
  if kill "$pid" 2>/dev/null; then
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

# A PulseAudio server of the caller's own, for audio tests, scenarios and benchmarks: other
# programs' sound must not reach what they record, nor the end of a shared server stop them, and scenarios that
# unload sinks must not break anyone else. Its null sink "vsink" has the monitor that Wine lists as the
# microphone "Monitor of Null Output"; every program started afterwards finds the server through the exported
# PULSE_RUNTIME_PATH.

# start_own_pulse DIR: the server's run and state folders and its log (pulse.log) go into DIR; its pid into
# own_pulse_pid. No terminal for the server: CTest waits for every holder of a test's output to go away.
# Returns 1, after printing the server's log, when it does not answer within 5 s.
start_own_pulse() {
  local dir=$1
  export PULSE_RUNTIME_PATH=$dir/run PULSE_STATE_PATH=$dir/state
  mkdir -p "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
  setsid pulseaudio --daemonize=no -n --exit-idle-time=-1 --log-target=stderr --log-level=error \
    --load="module-null-sink sink_name=vsink" --load=module-native-protocol-unix </dev/null >"$dir/pulse.log" 2>&1 &
  own_pulse_pid=$!
  for _ in $(seq 1 50); do
    pactl info >/dev/null 2>&1 && return 0
    kill -0 "$own_pulse_pid" 2>/dev/null || break
    sleep 0.1
  done
  pactl info >/dev/null 2>&1 && return 0
  echo "PulseAudio did not start: $(cat "$dir/pulse.log")"
  return 1
}
