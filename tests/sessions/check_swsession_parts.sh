#!/usr/bin/env bash
# Checks the recordings swsession_win_test left in DUMP_DIR (one folder each, with a recording.txt) with the
# host's ffmpeg: every part decodes without an error message at the recorded size, the decoded frames are
# exactly the frames the sink counted, the frame times increase and never pass the recorded time without the
# pauses, and every part starts at the first keyframe past its 4-second boundary.
# The machine may be busy: the frame rate is not checked, and the bounds on time are wide enough for a few
# frames per second yet below the 4-second pause the session test makes (a pause left in the time line shows).
#   check_swsession_parts.sh DUMP_DIR
set -euo pipefail
root=$1
max_gap_ms=3000     # between two frames; also how late the first frame and how early the last may be
late_end_ms=300     # frames are taken before Stop: only rounding lets the last one pass the recorded time
cuts_awk=$(cd "$(dirname "${BASH_SOURCE[0]}")/../testing" && pwd)/part_cuts.awk
status=0 checked=0

# ffprobe lists a transport stream's streams once more under their program: the first answer is enough.
first() { awk 'NF { print; exit }'; }
fail() { echo "FAIL [$name]: $*"; status=1; }

for info in "$root"/*/recording.txt; do
  [ -e "$info" ] || continue
  dir=$(dirname "$info") name=$(basename "$(dirname "$info")")
  # Written by a Windows program: CRLF line ends. Keys: width height frames parts wall_ms paused_ms.
  while IFS='=' read -r key value; do
    case $key in width|height|frames|parts|wall_ms|paused_ms) printf -v "$key" '%s' "$value" ;; esac
  done < <(tr -d '\r' < "$info")
  checked=$((checked + 1))
  echo "[$name] ${width}x${height}, $parts part(s), $frames frame(s) counted by the sink, ${wall_ms} ms recorded," \
       "${paused_ms} ms paused"
  [ "$parts" -ge 1 ] || { fail "no parts"; continue; }
  [ ! -e "$dir/part-$parts.ts" ] || fail "part-$parts.ts exists beyond the reported parts"

  decoded=0 all_pts=() packets=()
  for ((i = 0; i < parts; i++)); do
    part="$dir/part-$i.ts"
    [ -s "$part" ] || { fail "part-$i.ts missing or empty"; continue; }
    # The stream's own time base: real capture times would otherwise be rounded onto a guessed constant
    # rate, and two frames on one tick reported as an error.
    errors=$(ffmpeg -v error -nostdin -i "$part" -enc_time_base -1 -f null - 2>&1) || fail "ffmpeg failed on part-$i.ts"
    [ -z "$errors" ] || fail "part-$i.ts decodes with errors: $(head -c 300 <<<"$errors")"
    size=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 "$part" | first)
    [ "$size" = "$width,$height" ] || fail "part-$i.ts is $size, expected $width,$height"
    n=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$part" |
      first)
    decoded=$((decoded + n))
    # "PTS,FLAGS" per packet; the K flag marks a keyframe.
    mapfile -t pts < <(ffprobe -v error -select_streams v:0 -show_entries packet=pts,flags -of csv=p=0 "$part" |
      awk 'NF')
    for p in "${pts[@]}"; do packets+=("$i,$p"); all_pts+=("${p%%,*}"); done
  done
  [ "$decoded" -eq "$frames" ] || fail "$decoded frames decoded, the sink counted $frames"
  [ "${#all_pts[@]}" -eq "$frames" ] || fail "${#all_pts[@]} video packets, the sink counted $frames"

  active_ms=$((wall_ms - paused_ms))
  printf '%s\n' "${all_pts[@]}" | awk -v active="$active_ms" -v max_gap="$max_gap_ms" -v late_end="$late_end_ms" '
    { ms = $1 / 90
      if (NR == 1) first = ms
      else {
        if (ms <= last && ++bad < 4) printf "  time %.1f ms after %.1f ms\n", ms, last
        if (ms - last > gap) gap = ms - last
      }
      last = ms }
    END {
      printf "  first frame at %.0f ms, last at %.0f ms (%.0f ms recorded without pauses), largest gap %.0f ms\n",
             first, last, active, gap
      if (NR == 0) { print "  no frames"; exit 1 }
      if (bad) { printf "  %d time(s) not increasing\n", bad; exit 1 }
      if (first > max_gap) { print "  the first frame is late on the time line"; exit 1 }
      if (gap > max_gap) { print "  a gap in the time line"; exit 1 }
      if (last > active + late_end) { print "  the time line runs past the recorded time without pauses"; exit 1 }
      if (last < active - max_gap) { print "  frames stopped early"; exit 1 }
    }' || fail "frame times"

  printf '%s\n' "${packets[@]}" | awk -F, -f "$cuts_awk" || fail "part cuts"
done
[ "$checked" -gt 0 ] || { echo "FAIL: no recordings in $root"; exit 1; }
[ "$status" -eq 0 ] && echo "all $checked recording(s) decode cleanly with consistent times"
exit "$status"
