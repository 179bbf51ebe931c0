#!/usr/bin/env bash
# The main job: on a fresh Debian 12 machine (as root), install and build what is needed, then record about
# ten seconds of a virtual desktop showing a moving test pattern, with the sound of a 440 Hz tone played into
# PulseAudio's null sink (heard through the capture endpoint "Monitor of Null Output"), with the daemon driven by
# the host CLI over its named pipe, and summarise the part files, picture and sound.
#   bash scripts/main-job.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if [ "${1:-}" != "--inside" ]; then
  seconds=${1:-10}
  echo "== preparing (bootstrap and Windows build; the first run takes a few minutes)"
  bash scripts/bootstrap.sh | grep -v '^\[bootstrap\] ready' || true
  source scripts/compiler-cache.sh
  cmake --preset windows -Wno-dev >/dev/null
  # The AAC encoder stand-in stands for the system's, which Wine lacks; wine-run.sh registers it.
  cmake --build --preset windows --target VellRecorder vell-host vell_aac_standin | tail -n 1
  out="$root/out/recording-$(date +%Y%m%d-%H%M%S)"
  mkdir -p "$out"
  VELL_WINE_QUIET=1 exec scripts/wine-run.sh bash "$0" --inside "$out" "$seconds"
fi

out=$2
seconds=$3
bin="$root/build/windows/bin"
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
json_path() { winpath "$1" | sed 's/\\/\\\\/g'; }

ffplay -f lavfi -i "testsrc2=size=1920x1080:rate=30" -noborder -left 0 -top 0 -an -loglevel quiet \
  -window_title vell-pattern >/dev/null 2>&1 &
pattern=$!
# The sound to record: a tone longer than the recording, played into the null sink.
ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$((seconds + 30))" \
  "$out/tone.wav"
paplay "$out/tone.wav" 2>/dev/null &
tone=$!
# The players are ours to stop, whatever state their display or sound server is in by then.
stop_players() {
  local pid
  for pid in "$pattern" "$tone"; do
    kill "$pid" 2>/dev/null || continue
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -f "$out/tone.wav"
}
trap stop_players EXIT
sleep 1

echo "== displays"
"$root/scripts/wine-run.sh" "$bin/vell-host.exe" --daemon-log "$(winpath "$out/daemon-query.log")" \
  '{"type":"get-display-screenshots"}' 'wait-for display-info' | tee "$out/query.txt" | grep -E '<-|FAILED'
display_id=$(sed -n 's/.*<- display-info {"displays":\[{"id":\([0-9]*\).*/\1/p' "$out/query.txt")
[ -n "$display_id" ] || { echo "no display found"; exit 1; }

echo "== recording display $display_id and the microphone \"Monitor of Null Output\" for $seconds s into $out"
init=$(printf '{"type":"recorder-init","payload":{"recordingOptions":{"outputPath":"%s","displayId":%s,"width":1920,"height":1080,"audioDeviceId":"Monitor of Null Output","recordInternalAudio":false}}}' \
  "$(json_path "$out")" "$display_id")
"$root/scripts/wine-run.sh" "$bin/vell-host.exe" --timeout-ms 30000 \
  --daemon-log "$(winpath "$out/daemon.log")" \
  "$init" 'wait-for recorder-initialized' '{"type":"recorder-start"}' 'wait-for recorder-started' \
  "sleep $((seconds * 1000))" '{"type":"finish"}' 'wait-for recorder-finished' | tee "$out/host.txt"

echo "== parts"
python3 "$root/scripts/summarise-parts.py" "$out"
