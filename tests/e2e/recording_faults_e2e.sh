#!/usr/bin/env bash
# recording_faults_e2e.sh SCENARIO BIN_DIR — the real daemon driven by the host CLI when things go wrong:
# recording messages out of order, and output folders or disks that do not take the recording.
# Exit status 77: the scenario cannot run here (a tmpfs cannot be mounted); CTest counts it as skipped.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh" "$@"
own_daemon

out="$work/out"
mounts=()
# Unmounts what this scenario mounted before the shared clean-up removes the work folder.
cleanup_faults() {
  local status=$? dir
  for dir in "${mounts[@]}"; do umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null; done
  (exit "$status")
  cleanup_e2e
}
trap cleanup_faults EXIT

small_disk() { # folder size [mount-options]
  mkdir -p "$1"
  mount -t tmpfs -o "size=$2${3:+,$3}" tmpfs "$1" 2>/dev/null || { echo "SKIP: cannot mount a tmpfs here"; exit 77; }
  mounts+=("$1")
}
count() { grep -c -- "$1" "$work/host.out"; }
metrics_of() { grep '<- recorder-finished {' "$work/host.out" | sed -n "$1p" | sed 's/.*<- recorder-finished //'; }

case "$scenario" in
after_stop)
  # A cancelled recording, then a finished one: neither starts, pauses or resumes again, their reported
  # parts stay as they were, and a second "finish" repeats the metrics. A new "recorder-init" after a stop
  # works.
  start_pattern
  host_live --timeout-ms 20000 \
    "$(recorder_init "$out/first")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 2500' '{"type":"cancel"}' 'wait-for recorder-finished' 'sleep 2000' \
    '{"type":"recorder-start"}' 'expect-quiet 1500' \
    'expect-log Refused to start: the recording has been stopped; its parts are final' \
    "$(recorder_init "$out/second")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' 'sleep 2500' '{"type":"finish"}' 'wait-for recorder-finished' 'sleep 2000' \
    '{"type":"recorder-start"}' '{"type":"pause"}' '{"type":"resume"}' 'expect-quiet 2000' \
    'expect-log Refused to pause: the recording has been stopped' \
    'expect-log Refused to resume: the recording has been stopped' \
    '{"type":"finish"}' 'expect recorder-finished' > "$work/host.out" &
  host_pid=$!
  wait_in_transcript '<- recorder-finished *$' 60
  part_checksums "$out/first" > "$work/first.md5"
  wait_in_transcript '<- recorder-finished {' 60
  part_checksums "$out/second" > "$work/second.md5"
  wait_for_host "$host_pid" 60 || fail "recording messages after a stop"
  cat "$work/host.out"
  part_checksums "$out/first" | cmp -s - "$work/first.md5" || fail "the cancelled recording's parts changed"
  part_checksums "$out/second" | cmp -s - "$work/second.md5" || fail "the finished recording's parts changed"
  [ "$(count '<- recorder-started')" = 2 ] || fail "a refused start was answered"
  [ "$(count '<- recorder-paused\|<- recorder-resumed')" = 0 ] || fail "a refused pause or resume was answered"
  [ -n "$(metrics_of 1)" ] && [ "$(metrics_of 1)" = "$(metrics_of 2)" ] || fail "a second finish changed the metrics"
  check_parts "$work/host.out" "$out" 1920 1080
  ;;
second_start)
  # A second "recorder-start" while recording is refused: no second reply, the start time stays, so the
  # frame rate still agrees with the parts over the whole recording.
  start_pattern
  host --timeout-ms 20000 "$(recorder_init "$out")" 'expect recorder-initialized' \
    '{"type":"recorder-start"}' 'expect recorder-started' 'sleep 6000' '{"type":"recorder-start"}' \
    'sleep 2000' 'expect-log Refused to start: the recording is already running' '{"type":"finish"}' \
    'wait-for recorder-finished' > "$work/host.out" || fail "second start"
  cat "$work/host.out"
  [ "$(count '<- recorder-started')" = 1 ] || fail "the second start was answered"
  check_parts "$work/host.out" "$out" 1920 1080
  check_metrics "$work/host.out" 1080
  ;;
pause_before_start)
  # "resume" and "pause" before the start are refused without a reply; the recording then starts running,
  # not paused.
  start_pattern
  host --timeout-ms 20000 "$(recorder_init "$out")" 'expect recorder-initialized' \
    '{"type":"resume"}' '{"type":"pause"}' 'expect-quiet 1500' \
    'expect-log Refused to pause: the recording has not been started' \
    '{"type":"recorder-start"}' 'expect recorder-started' 'sleep 3000' '{"type":"finish"}' \
    'wait-for recorder-finished' > "$work/host.out" || fail "pause before start"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  ;;
bad_folder)
  # Output folders that cannot hold a recording: "recorder-init" fails in order (no reply, exit status 1)
  # with the system's reason in the log, and nothing is left behind.
  touch "$work/a-file"
  drive=
  for letter in q r s t u v w x y; do [ -e "$WINEPREFIX/dosdevices/$letter:" ] || { drive=${letter^^}; break; }; done
  long=$(printf 'a%.0s' $(seq 1 300))
  cases=(
    "Q=${drive}:\\\\rec|cannot create the folder ${drive}:\\\\rec: [A-Z][^(]* (error [23])"
    "F=$(winpath_json "$work/a-file/rec")|cannot create the folder .*a-file: [A-Z][^(]* (error 183)"
    "L=$(winpath_json "$work/$long")|cannot create the folder .*$long: [A-Z][^(]* (error [0-9]*)"
    "E=|the output folder is empty"
    "R=rec|the output folder rec is not an absolute path"
  )
  for entry in "${cases[@]}"; do
    folder=${entry#*=}; folder=${folder%%|*}
    reason=${entry#*|}
    host --timeout-ms 10000 "$(recorder_init "$folder" folder-as-is)" 'expect-exit 1 within 10000' > "$work/host.out" ||
      { cat "$work/host.out"; fail "\"$folder\" was not refused"; }
    grep -q "Failed to initialize the recording: .*Unusable output folder.*: $reason" "$work/daemon.log" ||
      fail "\"$folder\": no \"$reason\" in the log"
    grep "Failed to initialize the recording" "$work/daemon.log" | sed 's/.*Unusable/Unusable/'
    [ "$(count '<- recorder-initialized')" = 0 ] || fail "\"$folder\" was initialised"
  done
  [ "$(ls -A "$work" | grep -v '^a-file$\|^daemon.log$\|^host.out$\|^VellRecorder.exe$')" = "" ] ||
    fail "left behind: $(ls -A "$work")"
  ;;
read_only)
  small_disk "$work/ro" 1m ro
  for folder in "$work/ro" "$work/ro/rec"; do
    host --timeout-ms 10000 "$(recorder_init "$folder")" 'expect-exit 1 within 10000' \
      > "$work/host.out" || { cat "$work/host.out"; fail "$folder was not refused"; }
    grep "Failed to initialize the recording" "$work/daemon.log" | sed 's/.*Unusable/Unusable/'
    grep -q "Unusable output folder.*: cannot .*(error [0-9]*)" "$work/daemon.log" || fail "$folder: no reason"
    ! grep -q "Unusable output folder.*: .*\(Success\|Invalid argument\)" "$work/daemon.log" ||
      fail "$folder: not the real reason"
  done
  ;;
disk_full)
  # The disk fills up during the recording and frees again: the part that met the full disk ends with its
  # last whole frame, parts that got nothing are neither reported nor left behind, and the recording goes
  # on into a later part once space returns.
  small=$work/small
  small_disk "$small" 48m
  start_pattern
  # A small picture keeps the frame rate, and with it the keyframe rate, up on a busy machine: parts are
  # cut at keyframes only.
  host_live --timeout-ms 20000 "$(recorder_init "$small/rec" "$(crop_rect 0 0 640 360)")" 'expect recorder-initialized' \
    '{"type":"recorder-start"}' 'expect recorder-started' 'sleep 20000' '{"type":"finish"}' \
    'wait-for recorder-finished' > "$work/host.out" &
  host_pid=$!
  wait_in_transcript '<- recorder-started' 60
  sleep 2
  dd if=/dev/zero of="$small/filler" bs=64k 2>/dev/null
  echo "disk full at $(date +%T.%N | cut -c1-12), parts: $(ls "$small/rec" | tr '\n' ' ')"
  sleep 6
  rm -f "$small/filler"
  echo "space again at $(date +%T.%N | cut -c1-12)"
  wait_for_host "$host_pid" 60 || fail "recording onto a disk that fills up"
  cat "$work/host.out"
  grep -E "Cannot write part file|holds no whole frame|Cannot open part file" "$work/daemon.log" | cut -c1-220
  failed=$(sed -n 's/.*Cannot write part file .*part-\([0-9]*\)\.ts: .*(error 112).*/\1/p' "$work/daemon.log" | head -1)
  [ -n "$failed" ] || fail "no write failure with the system's reason (disk full, error 112) logged"
  last=$(reported_parts "$work/host.out" | tail -1 | sed 's/.*part-\([0-9]*\)\.ts/\1/')
  [ "$last" -gt "$failed" ] || fail "nothing recorded after the disk filled (last part $last, failed $failed)"
  for part in "$small"/rec/part-*.ts; do
    [ $(($(stat -c %s "$part") % 188)) = 0 ] || fail "$part does not end on a whole packet"
  done
  [ -z "$(find "$small" -name '.vell-write-test*')" ] || fail "trial file left behind"
  VELL_E2E_PART_GAPS=1 check_parts "$work/host.out" "$small/rec" 640 360
  check_metrics "$work/host.out" 360
  ;;
*) echo "unknown scenario $scenario"; exit 2 ;;
esac
echo "PASS: $scenario"
