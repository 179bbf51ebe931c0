#!/usr/bin/env bash
# Checks the recordings hwsession_win_test left in DUMP_DIR: the software session's check (every part decodes
# in ffmpeg at the recorded size, the decoded frames are the frames the sink counted, times increase with no
# gap), then each part once more through ffmpeg with the stream's own timing (-fps_mode passthrough) and
# through GStreamer, neither of which may say anything but the frames.
#   check_hwsession_parts.sh DUMP_DIR
set -euo pipefail
root=$1
here=$(cd "$(dirname "$0")" && pwd)
status=0
# The sink's program table always lists the audio stream; a recording without sound leaves it empty, which
# ffmpeg's demuxer remarks on while probing. Everything else it says counts.
video_only() {
  grep -v -e '^\[mpegts @[^]]*\] .*stream 1\b' -e "^Consider increasing the value for the 'analyzeduration'" || true
}
"$here/check_swsession_parts.sh" "$root" || status=1

for part in "$root"/*/part-*.ts; do
  [ -e "$part" ] || continue
  name="$(basename "$(dirname "$part")")/$(basename "$part")"
  errors=$(ffmpeg -v warning -nostdin -i "$part" -fps_mode passthrough -enc_time_base -1 -f null - 2>&1 | video_only) ||
    { echo "FAIL [$name]: ffmpeg failed"; status=1; }
  [ -z "$errors" ] || { echo "FAIL [$name]: ffmpeg says: $(head -c 300 <<<"$errors")"; status=1; }
  out=$(gst-launch-1.0 -q filesrc location="$part" ! tsdemux ! h264parse ! avdec_h264 ! fakesink 2>&1) ||
    { echo "FAIL [$name]: GStreamer failed: $(head -c 300 <<<"$out")"; status=1; continue; }
  if grep -qiE 'warn|error|critical' <<<"$out"; then
    echo "FAIL [$name]: GStreamer says: $(head -c 300 <<<"$out")"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "every part decodes in ffmpeg (passthrough) and GStreamer without a warning"
exit "$status"
