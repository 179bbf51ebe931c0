#!/usr/bin/env bash
# camera_e2e.sh SCENARIO BIN_DIR — one end-to-end scenario of the camera query, against the stand-in cameras
# that scripts/wine-run.sh registers in the test prefix ("Test Camera": largest format faster than 15 frames
# per second 1920x1080; "Slow Camera": none).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh" "$@"
bounds() { # height width
  printf 'expect-raw {"payload":"{\\"height\\":%s,\\"width\\":%s}","type":"camera-bounds-info"}' "$1" "$2"
}
case "$scenario" in
bounds)
  own_daemon
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
  own_daemon
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
