#!/usr/bin/env bash
# Software screen session benchmark: records a moving 1920x1080 test picture on the virtual screen through the
# session under Wine, then prints the delivered frames per second (read from the parts with ffprobe), the
# daemon-side CPU time per delivered frame, the same stages timed alone on the same screen, and the ratio.
#   scripts/bench-swsession.sh [BUILD_DIR] [SECONDS] [OUTPUT_WIDTH OUTPUT_HEIGHT]
# BUILD_DIR is a Windows build with the target swsession_bench built (default build/windows).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
if [ "${VELL_WINE_ENV_ACTIVE:-}" != 1 ]; then
  exec "$here/wine-run.sh" "${BASH_SOURCE[0]}" "$@"
fi

build=$(realpath "${1:-$root/build/windows}")
seconds=${2:-20}
out_w=${3:-1920} out_h=${4:-1080}
bench="$build/bench/sessions/swsession_bench.exe"
[ -x "$bench" ] || { echo "build it first: cmake --build $build --target swsession_bench"; exit 1; }

work=$(mktemp -d /tmp/vell-swsession-bench.XXXXXX)
pidfile="$work/pattern.pid"
trap '"$root/tests/sessions/moving_pattern.sh" stop "$pidfile"' EXIT
"$root/tests/sessions/moving_pattern.sh" start "$pidfile"
mkdir -p "$work/parts"

log="$work/bench.txt"
# The machine is shared: the figures mean little without the load they were taken under.
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$here/wine-run.sh" "$bench" "Z:$work/parts" "$seconds" 200 "$out_w" "$out_h" | tr -d '\r' | tee "$log"

# Delivered frames, from the parts: decoded frames and the span of their times.
frames=0 pts_all=()
for part in $(ls "$work/parts"/part-*.ts | sort -t- -k2 -n); do
  n=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$part" |
    awk 'NF { print; exit }')
  frames=$((frames + n))
  mapfile -t pts < <(ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$part" | awk 'NF')
  pts_all+=("${pts[@]}")
done
span=$(printf '%s\n' "${pts_all[@]}" |
  awk 'NR == 1 { first = $1 } { last = $1 } END { printf "%.3f", (last - first) / 90000 }')
session_ms=$(awk '/per delivered frame/ {
  for (i = 1; i <= NF; i++) if ($(i + 1) == "CPU" && $(i + 2) == "ms") print $i }' "$log")
alone_ms=$(awk '/^stages alone: / { print $3 }' "$log")
echo "----"
awk -v f="$frames" -v span="$span" -v secs="$seconds" -v s="$session_ms" -v a="$alone_ms" 'BEGIN {
  printf "delivered: %d frames in the parts over %.2f s of time line: %.1f frames per second (goal >= 30)\n",
         f, span, (f - 1) / span
  printf "CPU per delivered frame: session %.2f ms, stages alone %.2f ms: ratio %.2f (goal <= 1.3)\n",
         s, a, s / a
}'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -rf "$work"
