#!/usr/bin/env bash
# recording_e2e.sh SCENARIO BIN_DIR — one end-to-end recording scenario: the real daemon driven by the host
# CLI over the named pipe, recording the virtual screen while a moving test pattern plays on it.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh" "$@"
own_daemon
start_pattern

out="$work/out"

case "$scenario" in
full_cycle)
  host --timeout-ms 20000 '{"type":"get-display-screenshots"}' 'expect display-info' \
    "$(recorder_init "$out")" 'expect recorder-initialized' '{"type":"recorder-start"}' 'expect recorder-started' \
    'sleep 5000' '{"type":"pause"}' 'wait-for recorder-paused' 'sleep 3000' \
    '{"type":"resume"}' 'wait-for recorder-resumed' 'sleep 4500' '{"type":"finish"}' \
    'wait-for recorder-finished' > "$work/host.out" || fail "recording cycle"
  cat "$work/host.out"
  check_display_info "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  check_last_part_before_finished "$work/host.out"
  check_metrics "$work/host.out" 1080
  check_no_gap "$out" "$work/host.out"
  ;;
cancel)
  host --timeout-ms 20000 "$(recorder_init "$out")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 5000' '{"type":"cancel"}' 'wait-for hls-part-written' \
    'wait-for recorder-finished' > "$work/host.out" || fail "cancel"
  cat "$work/host.out"
  grep -q '<- recorder-finished *$' "$work/host.out" || fail "cancel sent metrics"
  check_parts "$work/host.out" "$out" 1920 1080
  ;;
second_init)
  # A second "recorder-init" into the folder of a running recording: the first's open part is reported before
  # "recorder-initialized", the first's parts stay as they were, and the second's are numbered after them.
  host_live --timeout-ms 20000 "$(recorder_init "$out")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 4500' "$(recorder_init "$out")" 'expect hls-part-written' \
    'wait-for recorder-initialized' 'sleep 3000' '{"type":"recorder-start"}' 'expect recorder-started' \
    'sleep 2000' '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out" &
  host_pid=$!
  # The host waits 3 s before starting the second recording: time to take the first one's parts as they are.
  wait_in_transcript '<- recorder-initialized' 60 2
  part_checksums "$out" > "$work/first.md5"
  wait_for_host "$host_pid" 60 || fail "second init"
  cat "$work/host.out"
  first_parts=$(awk '/<- recorder-initialized/ { r++ } r == 1 && /<- hls-part-written/' "$work/host.out" | wc -l)
  [ "$first_parts" -gt 0 ] && [ "$first_parts" = "$(wc -l < "$work/first.md5")" ] ||
    fail "$first_parts parts reported before the second recording, $(wc -l < "$work/first.md5") in the folder"
  changed=$(part_checksums "$out" | grep -vxFf - "$work/first.md5")
  [ -z "$changed" ] || fail "the first recording's parts changed: $changed"
  second_first=$(awk '/<- recorder-initialized/ { r++ } r == 2 && /<- hls-part-written/' "$work/host.out" | head -1)
  [[ "$second_first" == *"part-$first_parts.ts"* ]] || fail "the second recording began with $second_first"
  check_parts "$work/host.out" "$out" 1920 1080
  ;;
crop)
  host --timeout-ms 20000 "$(recorder_init "$out" "$(crop_rect 101 50 641 359)")" \
    'expect recorder-initialized' '{"type":"recorder-start"}' 'expect recorder-started' 'sleep 3000' \
    '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out" || fail "crop"
  cat "$work/host.out"
  # Odd crop sizes grow by one pixel to an even picture.
  check_parts "$work/host.out" "$out" 642 360
  check_metrics "$work/host.out" 359
  ;;
crop_hidpi)
  # At 144 DPI the host's points are 1.5 pixels: the crop {10, 20, 300, 200} captures {15, 30, 465, 330}.
  dpi_key='HKCU\Control Panel\Desktop'
  run "$wine" reg add "$dpi_key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
  host --timeout-ms 20000 "$(recorder_init "$out" "$(crop_rect 10 20 300 200)")" \
    'expect recorder-initialized' '{"type":"recorder-start"}' 'expect recorder-started' 'sleep 2500' \
    '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out"
  status=$?
  run "$wine" reg add "$dpi_key" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
  cat "$work/host.out"
  [ "$status" = 0 ] || fail "crop at 144 DPI"
  check_parts "$work/host.out" "$out" 450 300
  ;;
unknown_display)
  DISPLAY_ID=7
  host --timeout-ms 20000 "$(recorder_init "$out")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 2500' '{"type":"finish"}' 'wait-for recorder-finished' \
    > "$work/host.out" || fail "unknown display"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  ;;
host_killed)
  host --timeout-ms 20000 "$(recorder_init "$out")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 5000' 'terminate' > "$work/host.out"
  cat "$work/host.out"
  wait_for_log 'host application went away' || fail "daemon still running after the host died"
  wait_for_exit_record || true
  sleep 1
  ls "$out"/part-*.ts >/dev/null 2>&1 || fail "no part on disk"
  for part in "$out"/part-*.ts; do decode_clean "$part" || fail "$part does not decode"; done
  echo "parts after the host died: $(ls "$out" | tr '\n' ' ')"
  ;;
bad_init)
  host --timeout-ms 20000 "$(recorder_init "$out")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 2500' \
    '{"type":"recorder-init","payload":{"recordingOptions":{"displayId":1,"width":640,"height":480}}}' \
    'expect hls-part-written' 'expect-exit 1 within 5000' > "$work/host.out" || fail "bad init"
  cat "$work/host.out"
  grep -q 'Failed to initialize the recording: .*outputPath' "$work/daemon.log" || fail "no reason logged"
  check_parts "$work/host.out" "$out" 1920 1080
  ;;
no_recorder)
  host '{"type":"finish"}' '{"type":"pause"}' 'expect-quiet 400' '{"type":"check-mic-permissions"}' \
    'expect check-mic-permissions' 'expect-log "finish" without a recording; ignored' || fail "no recorder"
  ;;
*) echo "unknown scenario $scenario"; exit 2 ;;
esac
echo "PASS: $scenario"
