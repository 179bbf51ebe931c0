#!/usr/bin/env bash
# gpu_recording_e2e.sh SCENARIO BIN_DIR — which path the real daemon records the screen on, driven by the host
# CLI over the named pipe while a moving test pattern plays on the virtual screen:
#   fallback  plain Wine has no desktop duplication: the hardware session fails there, the daemon logs why and
#             the recording is made in software.
#   gpu       the daemon started with the duplication stand-in's DLL, the encoder stand-in registered in the
#             prefix: the same recording goes through duplication, video processor and H.264 transform.
#   lost_for_good  as gpu, but every re-creation of the duplication is refused after 10 images: the daemon goes
#             on in software, says so once in the log and in the metrics, and the parts go on to the end.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh" "$@"
own_daemon
start_pattern

out="$work/out"
init=$(recorder_init "$out")

pause_ms=6000
record() { # host options...
  host "$@" --timeout-ms 30000 "$init" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 3000' '{"type":"pause"}' 'wait-for recorder-paused' "sleep $pause_ms" \
    '{"type":"resume"}' 'wait-for recorder-resumed' 'sleep 3000' '{"type":"finish"}' 'wait-for recorder-finished' \
    > "$work/host.out"
}

# A recording of 15 s without a pause: the one made after a lost duplication has a hole of about 3 s where the
# daemon tried to duplicate the display again (a busy machine may take 5 s for the first 10 images).
record_plain() { # host options...
  host "$@" --timeout-ms 30000 "$init" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 15000' '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out"
}

acceleration() {
  python3 -c '
import json, re, sys
payload = json.loads(re.findall(r"<- recorder-finished (\{.*\})", open(sys.argv[1]).read())[-1])
print(dict(payload["recordingMetrics"][-1]["tags"])["acceleration"])' "$work/host.out"
}

# The sink's program table always lists the audio stream; a recording without sound leaves it empty, which
# ffmpeg's demuxer remarks on while probing. Everything else it says counts.
video_only() {
  grep -v -e '^\[mpegts @[^]]*\] .*stream 1\b' -e "^Consider increasing the value for the 'analyzeduration'" || true
}

# Every part decodes without a warning in ffmpeg with the stream's own timing and in GStreamer.
decode_without_warning() {
  local part errors
  while read -r part; do
    errors=$(ffmpeg -nostdin -v warning -i "$part" -fps_mode passthrough -enc_time_base -1 -f null - 2>&1 | video_only)
    [ -z "$errors" ] || fail "$part: ffmpeg says: $errors"
    errors=$(gst-launch-1.0 -q filesrc location="$part" ! tsdemux ! h264parse ! avdec_h264 ! fakesink 2>&1) ||
      fail "$part: GStreamer failed: $errors"
    ! grep -qiE 'warn|error|critical' <<<"$errors" || fail "$part: GStreamer says: $errors"
  done < <(reported_parts "$work/host.out")
}

# The pause is left out of the time line. A loaded machine may record only a frame or two a second, so the
# bound is half the pause rather than a frame interval.
no_pause_in_time_line() {
  cat $(ls "$out"/part-*.ts | sort -V) > "$work/all.ts"
  ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$work/all.ts" |
    python3 -c '
import sys
t = [float(x.strip().strip(",")) for x in sys.stdin if x.strip().strip(",") not in ("", "N/A")]
gap = max(b - a for a, b in zip(t, t[1:]))
print(f"{len(t)} frames over {t[-1]-t[0]:.2f} s, largest gap {gap*1000:.0f} ms")
sys.exit(0 if gap * 1000 < int(sys.argv[1]) / 2 else 1)' "$pause_ms" || fail "the pause left a gap in the time line"
}

case "$scenario" in
fallback)
  record || fail "recording"
  cat "$work/host.out"
  grep 'hardware screen recording unavailable (Not implemented)' "$work/daemon.log" ||
    fail "the fallback's reason is not logged"
  grep -q 'DDASource::Initialize.*HRERROR: Not implemented' "$work/daemon.log" || fail "the duplication did not fail"
  ! grep -q 'Selected H264 mft: ' "$work/daemon.log" || fail "an encoder transform was set up without duplication"
  [ "$(acceleration)" = software ] || fail "metrics say $(acceleration), expected software"
  ;;
gpu)
  record --inject-dll "$(winpath "$bin/vell-duplication.dll")" || fail "recording"
  cat "$work/host.out"
  grep 'armed on 2 imports' "$work/daemon.log" || fail "the stand-in is not in the daemon's duplication path"
  grep 'Selected H264 mft: Vell Stand-in H.264 Encoder' "$work/daemon.log" ||
    fail "the encoder stand-in was not selected"
  ! grep -q 'hardware screen recording unavailable' "$work/daemon.log" || fail "fell back to software"
  [ "$(acceleration)" = hardware ] || fail "metrics say $(acceleration), expected hardware"
  ;;
lost_for_good)
  VELL_DUPLICATION_FAULTS='lose-after=10,refusals=100000' record_plain --inject-dll "$(winpath "$bin/vell-duplication.dll")" ||
    fail "recording"
  cat "$work/host.out"
  [ "$(grep -c 'GPU screen capture ended: duplication_lost' "$work/daemon.log")" = 1 ] || fail "the end is not logged once"
  grep 'Screen recording goes on in software' "$work/daemon.log" || fail "the software path did not take over"
  refusals=$(grep -c 'Access denied' "$work/daemon.log")
  echo "$refusals log lines name the refusal"
  [ "$refusals" -le 3 ] || fail "the refusals flood the log"
  python3 - "$work/host.out" <<'PY' || fail "metrics"
import json, re, sys
payload = json.loads(re.findall(r"<- recorder-finished (\{.*\})", open(sys.argv[1]).read())[-1])
metrics = payload["recordingMetrics"]
ended = [m for m in metrics if m["metric_name"] == "hardware_capture_ended"]
assert len(ended) == 1, metrics
assert dict(ended[0]["tags"]) == {"continued_in": "software", "reason": "duplication_lost"}, ended
assert metrics[-1]["metric_name"] == "frames_per_second", metrics
assert dict(metrics[-1]["tags"])["acceleration"] == "software", metrics
PY
  # Software frames up to the end: the last part holds frames from its last second or so.
  last=$(reported_parts "$work/host.out" | tail -n1)
  end=$(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$last" | awk 'NF { t = $1 } END { print t }')
  echo "last frame at $end s"
  python3 -c 'import sys; sys.exit(0 if float(sys.argv[1]) > 9 else 1)' "$end" || fail "the picture stopped early"
  ;;
*) fail "unknown scenario $scenario" ;;
esac
check_parts "$work/host.out" "$out" 1920 1080
check_last_part_before_finished "$work/host.out"
[ "$scenario" = lost_for_good ] || no_pause_in_time_line
decode_without_warning
if [ "$scenario" = lost_for_good ]; then
  moving_picture "$(reported_parts "$work/host.out" | tail -n1)"  # the software path's
else
  moving_picture
fi
echo "PASS"
