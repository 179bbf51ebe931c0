#!/usr/bin/env bash
# channel_e2e.sh SCENARIO BIN_DIR — one end-to-end scenario of the control channel.
# Runs inside the Wine test environment (scripts/wine-run.sh starts it when needed).
set -uo pipefail
scenario=$1
bin=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh"
case "$scenario" in
handshake_permissions)
  d=$(private_daemon); preference_set "$d"
  host --daemon "$d" --secret 'top-secret-7781' --raw \
    '{"type":"check-camera-permissions"}' \
    'expect-raw {"payload":"{\"granted\":true,\"status\":\"authorized\"}","type":"check-camera-permissions"}' \
    '{"type":"check-mic-permissions","payload":{}}' \
    'expect-raw {"payload":"{\"granted\":true,\"status\":\"authorized\"}","type":"check-mic-permissions"}' \
    '{"type":"check-all-permissions"}' \
    'expect-raw {"payload":"{\"accessibility\":{\"granted\":true,\"status\":\"authorized\"},\"camera\":{\"granted\":true,\"status\":\"authorized\"},\"mic\":{\"granted\":true,\"status\":\"authorized\"},\"screenRecording\":{\"granted\":true,\"status\":\"authorized\"}}","type":"check-all-permissions"}' \
    '{"type":"provide-secret"}' '{"type":"get-everything"}' 'expect-quiet 400' \
    'expect-log received unknown message type: provide-secret' \
    'expect-log received unknown message type: get-everything' \
    'expect-log "secret":"<redacted>"' 'expect-no-log top-secret-7781' || fail "handshake and permissions"
  grep -q '^....-..-.. ..:..:..\.... INFO  \[[0-9]*\] \[main@[0-9]*\] argv ' "$work/daemon.log" ||
    fail "argv record is not in the log format"
  ;;
malformed_input)
  d=$(private_daemon); preference_set "$d"
  host --daemon "$d" \
    'send-text this is not json' 'send-text {"payload":{}}' 'send-text {"type":5}' 'send-bytes 00000000' \
    'send-text [1,2,3]' \
    'send-split 6 {"type":"check-mic-permissions"}' 'expect check-mic-permissions' \
    '{"type":"check-all-permissions"}' 'expect check-all-permissions' \
    'expect-log Failed to parse incoming message: ' 'expect-log "type" must be a string, but is missing' \
    'expect-log "type" must be a string, but is number' 'expect-log zero-length' \
    'expect-log not a JSON object but array' || fail "malformed input"
  ;;
queue_order)
  d=$(private_daemon); preference_set "$d"
  types=(camera mic all camera mic all camera mic all camera)
  args=()
  for t in "${types[@]}"; do args+=("{\"type\":\"check-$t-permissions\"}"); done
  for t in "${types[@]}"; do args+=("expect check-$t-permissions"); done
  host --daemon "$d" "${args[@]}" || fail "ten replies in order"
  ;;
pipe_closed)
  d=$(private_daemon); preference_set "$d"
  host --daemon "$d" 'close-pipe' 'expect-exit 0 within 250' || fail "daemon did not leave when the pipe closed"
  ;;
host_killed)
  d=$(private_daemon); preference_set "$d"
  host --daemon "$d" '{"type":"check-mic-permissions"}' 'expect check-mic-permissions' 'terminate' \
    > "$work/host.out"
  cat "$work/host.out"
  for _ in $(seq 1 60); do
    grep -q 'host application went away' "$work/daemon.log" && break
    sleep 0.1
  done
  grep -q 'host application went away' "$work/daemon.log" || fail "daemon still running after the host died"
  killed=$(sed -n 's/.*host terminating at \(.*\)$/\1/p' "$work/host.out" | tr -d '\r')
  noticed=$(grep 'the pipe is closed' "$work/daemon.log" | head -1 | cut -c1-23)
  python3 - "$killed" "$noticed" <<'PY' || fail "daemon noticed too late"
import sys, datetime
f = "%Y-%m-%d %H:%M:%S.%f"
ms = (datetime.datetime.strptime(sys.argv[2], f) - datetime.datetime.strptime(sys.argv[1], f)).total_seconds() * 1000
print(f"daemon noticed the host's death after {ms:.0f} ms")
sys.exit(0 if ms <= 250 else 1)
PY
  ;;
gpu_preference)
  d=$(private_daemon)
  host --daemon "$d" 'expect pending-restart' || fail "first start: no pending-restart after provide-secret"
  run "$wine" reg query "$reg_key" /v "$d" | tr -d '\r' | grep -q 'REG_EXPAND_SZ *GpuPreference=1;' ||
    fail "preference not stored as REG_EXPAND_SZ"
  host --daemon "$d" 'expect-quiet 400' || fail "second start: pending-restart sent again"
  run "$wine" reg add "$reg_key" /v "$d" /t REG_SZ /d 'GpuPreference=0;' /f >/dev/null 2>&1
  host --daemon "$d" 'expect pending-restart' || fail "other stored text was not overwritten"
  ;;
bad_start)
  run "$bin/VellRecorder.exe" > "$work/noarg.log" 2>&1 && fail "no argument: exit status 0"
  grep -q 'ERROR.*missing argument 1' "$work/noarg.log" || fail "no argument: no error record"
  run "$bin/VellRecorder.exe" '{"payload":{"daemonOptions":{"pipePath":"\\\\.\\pipe\\nobody-here","secret":"s"}}}' \
    > "$work/nopipe.log" 2>&1 && fail "no pipe: exit status 0"
  grep -q 'ERROR.*Failed to open pipe' "$work/nopipe.log" || fail "no pipe: no error record"
  run "$bin/VellRecorder.exe" 'not json' > "$work/badjson.log" 2>&1 && fail "bad argument: exit status 0"
  grep -q 'INFO .*argv not json' "$work/badjson.log" || fail "bad argument: not logged"
  ;;
*) echo "unknown scenario $scenario"; exit 2 ;;
esac
echo "PASS: $scenario"
