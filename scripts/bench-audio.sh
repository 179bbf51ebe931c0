#!/usr/bin/env bash
# Audio benchmark (prints figures; not part of the test run):
#   1. CPU time per second of recorded audio, for one source and for two (bench/sessions/audiosession_bench.exe:
#      the audio session alone, recording into its own sink); for one source, also each of the session's stages
#      run alone on the same sound (capture, resample, mix, AAC encode) and their sum, beside the session;
#   1b. the same beside three busy loops, for the sound lost when the capture thread polls late;
#   2. A/V offset and its drift over a recording of MINUTES minutes by the real daemon, driven by the host CLI
#      over its pipe, while the A/V stimulus flashes the screen and beeps every 2.005 s. The sound reaches the null
#      sink's monitor some time after its flash (Wine's play position runs ahead of the sound); the stimulus
#      measures that latency itself by listening to the monitor, and the daemon's own offset is the recording's
#      minus it. The drift does not depend on it;
#   3. the daemon's memory (resident set from /proc, current and peak) near the start and at the end.
#   scripts/bench-audio.sh [MINUTES] [BUILD_DIR]
# MINUTES defaults to 10; BUILD_DIR (default build/windows) must have VellRecorder, vell-host,
# vell-avsync-stimulus, audiosession_bench and the AAC encoder stand-in built.
# VELL_BENCH_CPU_ONLY=1 runs part 1 alone (a minute or two); VELL_BENCH_AV_ONLY=1 parts 2 and 3 alone.
# VELL_BENCH_WINDOW_MIN=W (default 10) prints, for every W minutes of the recording, its frames, the daemon's CPU
# per frame and memory, and the own offset there: a long run (60) shows whether anything grows.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
if [ "${VELL_WINE_ENV_ACTIVE:-}" != 1 ]; then
  exec "$here/wine-run.sh" "${BASH_SOURCE[0]}" "$@"
fi
minutes=${1:-10}
build=$(realpath "${2:-$root/build/windows}")
bin="$build/bin"
if [ "${VELL_BENCH_CPU_ONLY:-}" != 1 ]; then
  for exe in "$bin/VellRecorder.exe" "$bin/vell-host.exe" "$bin/vell-avsync-stimulus.exe"; do
    [ -f "$exe" ] || { echo "build it first: $exe"; exit 1; }
  done
fi
cpu_bench=$(find "$build/bench" -name audiosession_bench.exe | head -n1)
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')  # MINUTES may be a fraction: 0.5
work=$(mktemp -d /tmp/vell-audio-bench.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}" ${pulse:-}; do kill "$pid" 2>/dev/null || true; done
  # VELL_BENCH_KEEP=1 keeps the recordings and logs for a look afterwards.
  if [ -n "${VELL_BENCH_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
# A PulseAudio server of the benchmark's own: other programs' sound must not reach the recordings, nor the end of
# a shared server stop them.
source "$root/tests/testing/fixture.sh"
started=0
start_own_pulse "$work/pulse" && started=1
pulse=$own_pulse_pid
[ "$started" = 1 ] || exit 1

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores; recording $minutes min"

echo "== 1. CPU per second of recorded audio"
# Seconds of sound in the parts under a folder: one AAC frame is 1024 samples at 48 kHz.
sound_seconds() {
  local part frames=0 n
  for part in $(find "$1" -name 'part-*.ts'); do
    n=$(ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$part" |
      awk 'NF { print; exit }')
    frames=$((frames + ${n:-0}))
  done
  awk -v f="$frames" 'BEGIN { printf "%.1f", f * 1024 / 48000 }'
}
# The CPU benchmark for one source and for two, into $work/cpu<n><suffix>.
cpu_runs() { # suffix
  local sessions cpu sound stage_seconds
  for sessions in 1 2; do
    mkdir -p "$work/cpu$sessions$1"
    # The stages alone once, with one source and nothing busy beside.
    stage_seconds=0
    [ "$sessions" = 1 ] && [ -z "$1" ] && stage_seconds=20
    "$here/wine-run.sh" "$cpu_bench" "$(winpath "$work/cpu$sessions$1")" 30 "$sessions" "$stage_seconds" |
      tr -d '\r' > "$work/cpu.txt"
    sed "s/^/  /" "$work/cpu.txt"
    cpu=$(sed -n 's/.*: \([0-9.]*\) CPU s.*/\1/p' "$work/cpu.txt")
    sound=$(sound_seconds "$work/cpu$sessions$1")
    awk -v c="${cpu:-0}" -v s="$sound" -v n="$sessions" 'BEGIN {
      printf "  %d source(s): %.1f s of sound in the parts, %.2f CPU ms per second recorded\n", n, s,
             (s > 0 ? c * 1000 * n / s : 0) }'
  done
}
if [ "${VELL_BENCH_AV_ONLY:-}" = 1 ]; then
  echo "== 1. skipped (VELL_BENCH_AV_ONLY)"
elif [ -n "$cpu_bench" ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=200" "$work/tone.wav"
  paplay "$work/tone.wav" &
  tone=$!
  pids+=($tone)
  cpu_runs ""
  if [ "${VELL_BENCH_CPU_ONLY:-}" = 1 ]; then
    kill "$tone" 2>/dev/null || true
    wait "$tone" 2>/dev/null || true
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
    exit 0
  fi
  # Sound lost when the capture thread polls late: the "silence for lost sound" lines, with three busy loops
  # beside the recording (the CPU figures mean nothing here).
  echo "== 1b. the same beside three busy loops"
  busy=()
  for _ in 1 2 3; do
    sh -c 'while :; do :; done' &
    busy+=($!)
    pids+=($!)
  done
  cpu_runs "-busy"
  kill "${busy[@]}" 2>/dev/null || true
  kill "$tone" 2>/dev/null || true  # the next recording must hear only the stimulus
else
  echo "  (audiosession_bench.exe not built: skipped)"
fi

echo "== 2. A/V offset and drift over $minutes min"
cp "$bin/VellRecorder.exe" "$work/VellRecorder.exe"
out="$work/out"
mkdir -p "$out"
"$here/wine-run.sh" "$bin/vell-avsync-stimulus.exe" $((seconds + 25)) > "$work/stimulus.txt" 2>&1 &
stimulus=$!
pids+=($stimulus)
for _ in $(seq 1 200); do grep -q '^ready' "$work/stimulus.txt" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$work/stimulus.txt" || { echo "the stimulus did not start"; cat "$work/stimulus.txt"; exit 1; }
init=$(printf '{"type":"recorder-init","payload":{"recordingOptions":{"outputPath":"%s","displayId":2528732444,"width":1920,"height":1080,"audioDeviceId":"Monitor of Null Output","recordInternalAudio":false}}}' \
  "$(winpath "$out" | sed 's/\\/\\\\/g')")
"$here/wine-run.sh" "$bin/vell-host.exe" --daemon "$(winpath "$work/VellRecorder.exe")" --timeout-ms 60000 \
  --daemon-log "$(winpath "$work/daemon.log")" "$init" 'wait-for recorder-initialized' '{"type":"recorder-start"}' \
  'wait-for recorder-started' "sleep $((seconds * 1000))" '{"type":"finish"}' 'wait-for recorder-finished' \
  > "$work/host.txt" 2>&1 &
host=$!
pids+=($host)
# The daemon is the Linux process whose command line names its private copy (other recordings may run beside).
memory() { # pid
  awk '/^VmRSS|^VmHWM/ { printf "%s %.0f MB  ", $1, $2 / 1024 }' "/proc/$1/status" 2>/dev/null
}
daemon=
for _ in $(seq 1 100); do
  daemon=$(pgrep -f "^Z:[^ ]*$(basename "$work").VellRecorder.exe" | head -n1 || true)
  [ -n "$daemon" ] && break
  sleep 0.1
done
sleep 10
if [ -n "$daemon" ]; then echo "memory 10 s in: $(memory "$daemon")"; else echo "daemon process not found"; fi
# From the start on, every 5 s: seconds since the start, the daemon's CPU seconds and resident kB.
window_s=$(awk -v m="${VELL_BENCH_WINDOW_MIN:-10}" 'BEGIN { printf "%d", m * 60 }')
ticks=$(getconf CLK_TCK)
sample() { # pid start
  local stat rss
  stat=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 0
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$1/status" 2>/dev/null) || return 0
  awk -v s="$stat" -v t="$ticks" -v r="$rss" -v now="$(date +%s.%N)" -v t0="$2" 'BEGIN {
    split(s, f, " "); printf "%.1f %.2f %d\n", now - t0, (f[12] + f[13]) / t, r }'
}
last=""
started_at=""
next_window=$window_s
while kill -0 "$host" 2>/dev/null; do
  [ -n "$daemon" ] && last=$(memory "$daemon") && [ -n "$last" ] && end_memory=$last
  if [ -z "$started_at" ] && grep -q recorder-started "$work/host.txt"; then started_at=$(date +%s.%N); fi
  if [ -n "$started_at" ] && [ -n "$daemon" ]; then
    sample "$daemon" "$started_at" >> "$work/samples.txt"
    if awk -v e="$(tail -n1 "$work/samples.txt" | cut -d' ' -f1)" -v n="$next_window" 'BEGIN { exit !(e >= n) }'; then
      echo "  $(tail -n1 "$work/samples.txt" | awk '{ printf "%.0f s in: CPU %.1f s, resident %.0f MB", $1, $2, $3 / 1024 }')"
      next_window=$((next_window + window_s))
    fi
  fi
  sleep 5
done
wait "$host" || { echo "the recording failed:"; tail -n 20 "$work/host.txt"; exit 1; }
echo "memory at the end (last sample before finish): ${end_memory:-unknown}"
echo "-- the daemon's recording ($(ls "$out"/part-*.ts | wc -l) parts)"
# The stimulus gives its beeps' latencies when it ends (placed by all the sound it heard).
for _ in $(seq 1 1800); do kill -0 "$stimulus" 2>/dev/null || break; sleep 0.1; done
kill -0 "$stimulus" 2>/dev/null && echo "the stimulus did not end: no latencies to take off"
tr -d '\r' < "$work/stimulus.txt" > "$work/stimulus-lf.txt"
python3 "$here/avsync_analyse.py" --stimulus "$work/stimulus-lf.txt" --window-s "$window_s" \
  --samples "$work/samples.txt" "$out" |
  grep -E "^[0-9]+ flashes|^offset|^stimulus latency|^recorder|^own offset's|no (beep|flash)$|^window" | tail -n 30
grep '^listener' "$work/stimulus-lf.txt" || true
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
