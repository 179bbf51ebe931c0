#!/usr/bin/env bash
# Checks the recordings audiosession_win_test left in DUMP_DIR (one folder each, with a recording.txt) with the
# host's ffmpeg: every part holds a 48 kHz mono AAC stream that decodes without an error message, the decoded
# packets are the frames the session muxed, their times increase by one frame (a resume may leave a short gap,
# never an overlap), the time line ends near the recorded time without the pauses, and the sound is the 440 Hz
# tone the fixture plays (Goertzel power at 440 Hz against the total, per 100 ms window).
#   check_audiosession_parts.sh DUMP_DIR
set -euo pipefail
root=$1
frame_ticks=1920     # 1024 samples at 48 kHz in 90 kHz ticks
resume_gap_ms=250    # the most a resume may leave between the sound before it and after it
first_late_ms=50     # the sound starts with the recording: silence stands for what the endpoint had not delivered yet
end_early_ms=700     # sound still on its way through the pipeline when Stop came
status=0 checked=0

first() { awk 'NF { print; exit }'; }
fail() { echo "FAIL [$name]: $*"; status=1; }

for info in "$root"/*/recording.txt; do
  [ -e "$info" ] || continue
  dir=$(dirname "$info") name=$(basename "$dir") discontinuities=unknown
  while IFS='=' read -r key value; do
    case $key in frames|wall_ms|paused_ms|discontinuities) printf -v "$key" '%s' "$value" ;; esac
  done < <(tr -d '\r' < "$info")
  checked=$((checked + 1))
  # Discontinuities (sound the endpoint lost while the machine was too busy to poll it) are reported, not failed.
  echo "[$name] $frames frame(s) muxed, ${wall_ms} ms recorded, ${paused_ms} ms paused," \
       "$discontinuities discontinuity(ies) reported by the endpoint"

  pts_all=() pcm=$(mktemp)
  for part in "$dir"/part-*.ts; do
    [ -s "$part" ] || { fail "no part"; continue; }
    stream=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 \
      "$part" | first)
    [ "$stream" = "aac,48000,1" ] || fail "$(basename "$part"): audio stream is '$stream', expected aac,48000,1"
    errors=$(ffmpeg -v error -nostdin -i "$part" -map 0:a -f s16le -ac 1 -ar 48000 - 2>&1 >>"$pcm") ||
      fail "ffmpeg failed on $(basename "$part")"
    [ -z "$errors" ] || fail "$(basename "$part") decodes with errors: $(head -c 300 <<<"$errors")"
    mapfile -t pts < <(ffprobe -v error -select_streams a:0 -show_entries packet=pts -of csv=p=0 "$part" | awk 'NF')
    pts_all+=("${pts[@]}")
  done
  [ "${#pts_all[@]}" -eq "$frames" ] || fail "${#pts_all[@]} audio packets, the session muxed $frames"

  active_ms=$((wall_ms - paused_ms))
  printf '%s\n' "${pts_all[@]}" | awk -v step="$frame_ticks" -v resume_gap="$resume_gap_ms" \
      -v active="$active_ms" -v first_late="$first_late_ms" -v end_early="$end_early_ms" -v paused="$paused_ms" '
    NR == 1 { first = $1 }
    NR > 1 {
      d = $1 - last
      if (d <= 0) { if (++bad < 4) printf "  %.1f ms after %.1f ms\n", $1 / 90, last / 90 }
      else if (d > 2 * step) {
        gaps++
        if (paused == 0 || d > resume_gap * 90) { if (++bad < 4) printf "  gap of %.1f ms at %.1f ms\n", d / 90, last / 90 }
      } else if (d < step / 2) { if (++bad < 4) printf "  overlap: %.1f ms after %.1f ms\n", $1 / 90, last / 90 }
    }
    { last = $1 }
    END {
      end_ms = (last + step) / 90
      printf "  first frame at %.0f ms, sound ends at %.0f ms (%d ms recorded without pauses), %d gap(s)\n",
             first / 90, end_ms, active, gaps
      if (NR == 0) { print "  no audio packets"; exit 1 }
      if (bad) exit 1
      if (first / 90 > first_late) { print "  the first frame is late"; exit 1 }
      if (end_ms > active + 100) { print "  the time line runs past the recorded time without pauses"; exit 1 }
      if (end_ms < active - end_early) { print "  the sound ends early"; exit 1 }
    }' || fail "audio times"

  # 100 ms windows (44 whole periods of 440 Hz). Quiet windows before the tone are the endpoint's start (Wine's
  # monitor delivers silence for a moment); from the first tone on, a quiet window is sound lost. The last two
  # windows are left out (the encoder's padded last frame). A resume joins two stretches of the tone, and the
  # resumed stretch begins with silence until the endpoint delivers again: two windows may hold that joint.
  od -An -v -td2 -w2 "$pcm" | awk -v n=4800 -v joints=$((paused_ms > 0 ? 2 : 0)) '
    BEGIN { c = 2 * cos(2 * 3.14159265358979 * 440 / 48000) }
    { x = $1; s = x + c * s1 - s2; s2 = s1; s1 = s; e += x * x; i++
      if (i == n) { p[w] = s1 * s1 + s2 * s2 - c * s1 * s2; t[w] = e; w++; i = 0; s1 = s2 = e = 0 } }
    END {
      for (k = 0; k < w - 2; k++) {
        quiet = t[k] / n < 500 * 500
        if (quiet && !used) { lead++; continue }
        used++
        if (quiet) dropouts++
        else if (p[k] / (n / 2 * t[k]) > 0.8) tone++
      }
      printf "  %d window(s) of 100 ms after %d quiet at the start: %d hold the 440 Hz tone, %d are quiet\n",
             used, lead, tone, dropouts
      if (used < 10 || tone < used * 0.9 - joints || dropouts > 0) exit 1
    }' || fail "the decoded sound is not the 440 Hz tone throughout"
  rm -f "$pcm"
done
[ "$checked" -gt 0 ] || { echo "FAIL: no recordings in $root"; exit 1; }
[ "$status" -eq 0 ] && echo "all $checked recording(s) hold the tone in AAC with consistent times"
exit "$status"
