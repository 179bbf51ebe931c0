#!/usr/bin/env bash
# audiosource_win_test.sh TEST_EXE — runs the audio source test program while a 440 Hz tone plays into the
# null sink. The PulseAudio server is one of its own: other programs on the machine may be playing into the
# shared one, and the test checks the signal it hears.
set -uo pipefail
exe=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d /tmp/vell-audiosource.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

source "$root/tests/testing/fixture.sh"
started=0
start_own_pulse "$work" && started=1
pids+=("$own_pulse_pid")
[ "$started" = 1 ] || { echo "FAIL: no PulseAudio"; exit 1; }

# Peak 16384 of 32768: loud enough to find, far from clipping.
ffmpeg -v error -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t):s=44100:d=120" -c:a pcm_s16le "$work/tone.wav" ||
  { echo "FAIL: ffmpeg could not make the tone"; exit 1; }
paplay --device=vsink "$work/tone.wav" &
pids+=($!)

VELL_TONE_HZ=440 VELL_TONE_PEAK=16384 timeout 240 "$root/scripts/wine-run.sh" "$exe"
