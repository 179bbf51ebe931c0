#!/usr/bin/env bash
# camera_e2e.sh SCENARIO BIN_DIR — one end-to-end scenario of the camera query and of camera recordings, against
# the stand-in cameras that scripts/wine-run.sh registers in the test prefix ("Test Camera": largest format faster
# than 15 frames per second 1920x1080; "Slow Camera": none). Recordings give the daemon the camera stand-in's DLL,
# which lists those cameras to Media Foundation and plays a clip (320x240) as each.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh" "$@"
bounds() { # height width
  printf 'expect-raw {"payload":"{\\"height\\":%s,\\"width\\":%s}","type":"camera-bounds-info"}' "$1" "$2"
}
# The clip the camera stand-in plays, for recordings.
camera_clip() {
  bash "$root/tests/sessions/make_camera_clip.sh" "$work/clip.avi" || fail "no clip"
  export VELL_CAMERA_CLIP
  VELL_CAMERA_CLIP=$(winpath "$work/clip.avi")
}
out=$work/rec
camera_init() { # camera microphone
  printf '{"type":"recorder-init","payload":{"recordingOptions":{"outputPath":"%s","camOnly":true,"videoDeviceId":"%s","width":1280,"height":720,"audioDeviceId":"%s","recordInternalAudio":false}}}' \
    "$(winpath_json "$out")" "$1" "$2"
}
# A camera recording of "Test Camera" through the camera stand-in: `record_camera MICROPHONE STEP...` runs the
# host with the init, the start, the steps given, the finish and its reply, into $work/host.out.
record_camera() {
  local microphone=$1
  shift
  host --inject-dll "$(winpath "$bin/vell-camera.dll")" --timeout-ms 30000 \
    "$(camera_init "Test Camera" "$microphone")" 'wait-for recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' "$@" '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out" ||
    fail "camera recording"
  cat "$work/host.out"
}
# The value of a metric in "recorder-finished" (nothing when there is none).
metric_value() { # name
  sed -n 's/.*<- recorder-finished //p' "$work/host.out" | python3 -c '
import json, sys
print(next((m["metric_value"] for m in json.load(sys.stdin)["recordingMetrics"] if m["metric_name"] == sys.argv[1]), ""))' "$1"
}
# Every reported part decodes; all of them together in $work/all.ts.
parts_decode() {
  while read -r part; do decode_clean "$part" || fail "$part does not decode cleanly"; done < <(reported_parts "$work/host.out")
  cat $(reported_parts "$work/host.out") > "$work/all.ts"
}
# Every scenario's daemon introduces itself without asking for a restart, whichever prefix it runs in.
own_daemon
case "$scenario" in
bounds)
  host \
    '{"type":"get-camera-bounds","payload":{"cameraId":"Test Camera"}}' "$(bounds 1080 1920)" \
    '{"type":"get-camera-bounds","payload":{"cameraId":"Slow Camera"}}' "$(bounds 0 0)" \
    '{"type":"get-camera-bounds","payload":{"cameraId":"test camera"}}' "$(bounds 0 0)" \
    '{"type":"get-camera-bounds","payload":{"cameraId":"Kamera Zürich"}}' "$(bounds 0 0)" \
    '{"type":"get-camera-bounds","payload":{"cameraId":""}}' "$(bounds 0 0)" ||
    fail "camera bounds"
  ;;
bad_payload)
  # Each bad request is reported and gets no reply; the next request is answered.
  host \
    '{"type":"get-camera-bounds"}' '{"type":"get-camera-bounds","payload":{"cameraid":"Test Camera"}}' \
    '{"type":"get-camera-bounds","payload":{"cameraId":7}}' \
    '{"type":"get-camera-bounds","payload":{"cameraId":["Test Camera"]}}' \
    '{"type":"get-camera-bounds","payload":{"cameraId":"Test Camera"}}' "$(bounds 1080 1920)" \
    'expect-log Failed to handle message get-camera-bounds: ' || fail "bad payloads"
  [ "$(grep -c 'Failed to handle message get-camera-bounds: .*cameraId' "$work/daemon.log")" = 4 ] ||
    fail "not one error record per bad request"
  grep -q 'cameraId.*number' "$work/daemon.log" || fail "the error record does not name the wrong type"
  ;;
record)
  # The camera get-camera-bounds answers for is the one a camera recording opens, with the microphone, across a
  # pause: each part decodes, the picture moves, sound and picture cover the same time in every part, and
  # each part holds the sound of its picture's time span.
  own_pulseaudio
  play_tone 440
  camera_clip
  pause_ms=2500
  host --inject-dll "$(winpath "$bin/vell-camera.dll")" --timeout-ms 30000 \
    '{"type":"get-camera-bounds","payload":{"cameraId":"Test Camera"}}' "$(bounds 1080 1920)" \
    "$(camera_init "Test Camera" "Monitor of Null Output")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 3000' \
    '{"type":"pause"}' 'wait-for recorder-paused' "sleep $pause_ms" '{"type":"resume"}' 'wait-for recorder-resumed' \
    'sleep 4500' '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out" || fail "camera recording"
  cat "$work/host.out"
  grep 'vell-camera: listed' "$work/daemon.log" || fail "the daemon did not ask the camera stand-in"
  grep -q '\["video_source","camera"\]' "$work/host.out" || fail "the metrics do not name the camera"
  check_parts "$work/host.out" "$out" 320 240
  check_last_part_before_finished "$work/host.out"
  moving_picture
  while read -r part; do
    python3 "$here/audio_checks.py" part-spans "$part" 400 || fail "sound and picture differ in $part"
  done < <(reported_parts "$work/host.out")
  python3 "$here/audio_checks.py" part-durations $(reported_parts "$work/host.out") ||
    fail "a part's sound is not its picture's"
  cat $(reported_parts "$work/host.out") > "$work/all.ts"
  python3 "$here/audio_checks.py" gaps "$work/all.ts" $((pause_ms / 2)) || fail "the pause is in a time line"
  python3 "$here/audio_checks.py" tone "$work/all.ts" 440 || fail "the microphone's tone is not in the recording"
  ;;
record_described)
  # A camera whose description differs from its friendly name is listed, and so named by the host, by its
  # description ("Desk Camera"); Media Foundation knows only the friendly name ("USB Video Device"). A recording
  # of "Desk Camera" records that camera. Its encoder keeps the parameter sets out of band (in its output type
  # only), as some hardware encoders do: the part still starts with them and decodes.
  camera_clip
  export VELL_H264_STANDIN_STRICT=sps-out-of-band
  host --inject-dll "$(winpath "$bin/vell-camera.dll")" --timeout-ms 30000 \
    '{"type":"get-camera-bounds","payload":{"cameraId":"Desk Camera"}}' "$(bounds 480 640)" \
    "$(camera_init "Desk Camera" "")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 2500' '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out" ||
    fail "recording of the camera by its description"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 320 240
  ;;
record_lost)
  # The camera is lost 2 s after it was opened and back 1.5 s later: the recording goes on with the sound and is
  # finished as usual; the loss is logged once and counted; the camera's video goes on after its return, at its
  # own time and decoding. (How parts are cut while no video comes is the sink's, not checked here.)
  own_pulseaudio
  play_tone 440
  camera_clip
  export VELL_CAMERA_FAULTS=lose-after-ms=2000,return-after-ms=1500
  record_camera "Monitor of Null Output" 'sleep 9000'
  grep 'vell-camera: camera lost' "$work/daemon.log" || fail "the stand-in did not lose the camera"
  [ "$(grep -c 'stopped delivering video' "$work/daemon.log")" = 1 ] || fail "the loss is not logged once"
  grep 'is back after' "$work/daemon.log" || fail "the camera's return is not logged"
  lost=$(metric_value camera_video_lost_ms)
  echo "camera_video_lost_ms: $lost"
  # At least the time the camera was gone; at most the recording.
  [ -n "$lost" ] && [ "$lost" -ge 1400 ] && [ "$lost" -le 12000 ] || fail "implausible camera_video_lost_ms $lost"
  parts_decode
  python3 "$here/audio_checks.py" video-back "$work/all.ts" 1400 || fail "the video does not go on after the return"
  python3 "$here/audio_checks.py" tone "$work/all.ts" 440 || fail "the microphone's tone is not in the recording"
  ;;
record_no_keyframe)
  # An encoder that ignores keyframe requests and makes no keyframe after its first: after a resume its frames
  # reference frames dropped in the pause. Nothing undecodable is written, the time without video is counted,
  # and the video goes on once the camera's pipeline, encoder included, is built anew.
  own_pulseaudio
  play_tone 440
  camera_clip
  export VELL_H264_STANDIN_STRICT=ignore-keyframe-requests,gop=0
  record_camera "Monitor of Null Output" 'sleep 2000' '{"type":"pause"}' 'wait-for recorder-paused' 'sleep 500' \
    '{"type":"resume"}' 'wait-for recorder-resumed' 'sleep 9000'
  lost=$(metric_value camera_video_lost_ms)
  echo "camera_video_lost_ms: $lost"
  [ -n "$lost" ] && [ "$lost" -ge 2000 ] || fail "the video missing after the resume is not counted"
  # Told when the video stops for want of a keyframe (also at the start, when the one keyframe fell before it)
  # and when it is back, once each.
  lost_told=$(grep -c 'gave no keyframe' "$work/daemon.log")
  [ "$lost_told" -ge 1 ] && [ "$(grep -c 'stopped delivering video' "$work/daemon.log")" = "$lost_told" ] &&
    [ "$(grep -c 'is back after' "$work/daemon.log")" = "$lost_told" ] ||
    fail "the encoder's missing keyframe is not told once when it stops the video and once when it is back"
  parts_decode
  python3 "$here/audio_checks.py" video-back "$work/all.ts" 2000 || fail "the video does not go on after the resume"
  ;;
record_unknown)
  # Media Foundation lists no camera under Wine (nor the DirectShow stand-ins): a camera recording ends in order,
  # as a screen recording that cannot be built does (no reply, exit status 1), naming the camera.
  out=$work/rec
  host --timeout-ms 10000 \
    "$(printf '{"type":"recorder-init","payload":{"recordingOptions":{"outputPath":"%s","camOnly":true,"videoDeviceId":"Kamera Zürich","width":1280,"height":720,"audioDeviceId":"","recordInternalAudio":false}}}' "$(winpath_json "$out")")" \
    'expect-exit 1 within 10000' > "$work/host.out" || { cat "$work/host.out"; fail "camera recording not refused"; }
  cat "$work/host.out"
  grep 'Kamera Zürich' "$work/daemon.log"
  grep -q 'no cameras named Kamera Zürich were found' "$work/daemon.log" || fail "the camera is not named"
  grep -q 'Failed to initialize the recording: .*Failed to create camera recording session' "$work/daemon.log" ||
    fail "no reason logged"
  ! grep -q 'recorder-initialized' "$work/host.out" || fail "\"recorder-initialized\" was sent"
  [ -z "$(ls -A "$out" 2>/dev/null)" ] || fail "left in the output folder: $(ls -A "$out")"
  ;;
*)
  echo "unknown scenario $scenario"
  exit 2
  ;;
esac
echo "PASS: $scenario"
