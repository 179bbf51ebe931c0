#!/usr/bin/env bash
# geometry_e2e.sh SCENARIO BIN_DIR — what "recorder-init" makes of sizes and crops at the edges: sizes the
# encoders cannot take and crops off the display are refused before anything is recorded (an error record,
# no "recorder-initialized", exit status 1, and at once, even for a size that would need gigabytes); a crop
# that reaches past the display's edge records the part that lies on it.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh" "$@"
own_daemon

out="$work/out"
init() { recorder_init "$out" "size=$1x$2" "${3:-}"; } # width height [crop]

case "$scenario" in
refused_sizes)
  refused() { # reason-pattern width height [crop-fragment]
    local reason=$1
    shift
    # The round trip first: the daemon lists devices and displays before its loop reads anything, which can
    # take seconds on a busy machine and is not part of the refusal's time.
    host --timeout-ms 20000 '{"type":"check-all-permissions"}' 'expect check-all-permissions' "$(init "$@")" \
      'expect-exit 1 within 5000' > "$work/host.out" ||
      fail "not refused in time: $*"
    grep -q 'recorder-initialized' "$work/host.out" && fail "\"recorder-initialized\" for $*"
    grep -q "Failed to initialize the recording: .*$reason" "$work/daemon.log" || fail "no reason logged for $*"
    [ -z "$(ls -A "$out" 2>/dev/null)" ] || fail "files written for $*: $(ls "$out")"
  }
  refused 'output size 2x2 is not one' 1 1
  refused 'output size 4x4 is not one' 3 3
  refused 'output size 65536x2 is not one' 65536 2
  refused 'output size 65536x65536 is not one' 65536 65536
  refused 'output size 2x2 is not one' 1920 1080 "$(crop_rect 500 500 1 1)"
  refused 'crop lies outside' 1920 1080 "$(crop_rect 1920 0 100 100)"
  refused 'crop lies outside' 1920 1080 "$(crop_rect 2147483000 0 1000 100)"
  refused 'crop lies outside' 1920 1080 "$(crop_rect -2147483648 -2147483648 2147483647 2147483647)"
  ;;
crop_past_edge)
  start_pattern
  host --timeout-ms 20000 "$(init 1920 1080 "$(crop_rect 1200 600 800 600)")" 'expect recorder-initialized' \
    '{"type":"recorder-start"}' 'expect recorder-started' 'sleep 2500' '{"type":"finish"}' \
    'wait-for recorder-finished' > "$work/host.out" || fail "crop past the edge"
  cat "$work/host.out"
  # Only the 720 x 480 that lie on the 1920 x 1080 display: nothing black from beyond its edge.
  check_parts "$work/host.out" "$out" 720 480
  ;;
*) echo "unknown scenario $scenario"; exit 2 ;;
esac
echo "PASS: $scenario"
