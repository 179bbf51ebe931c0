#!/usr/bin/env bash
# channel_e2e.sh SCENARIO BIN_DIR — one end-to-end scenario of the control channel.
# Runs inside the Wine test environment (scripts/wine-run.sh starts it when needed).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh" "$@"
case "$scenario" in
handshake_permissions)
  own_daemon
  host --secret 'top-secret-7781' --raw \
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
  own_daemon
  host \
    'send-text this is not json' 'send-text {"payload":{}}' 'send-text {"type":5}' 'send-bytes 00000000' \
    'send-text [1,2,3]' \
    'send-split 6 {"type":"check-mic-permissions"}' 'expect check-mic-permissions' \
    '{"type":"check-all-permissions"}' 'expect check-all-permissions' \
    'expect-log Failed to parse incoming message: ' 'expect-log "type" must be a string, but is missing' \
    'expect-log "type" must be a string, but is number' 'expect-log zero-length' \
    'expect-log not a JSON object but array' \
    '{"type":"x\n1999-01-01 00:00:00.000 ERROR [1] [main@1] forged","payload":{"k":"\u001b[2J"}}' \
    'send-bytes 0f000000 7b2274797065223a22626164ff227d' \
    '{"type":"check-mic-permissions"}' 'expect check-mic-permissions' \
    || fail "malformed input"
  grep -q '^1999-' "$work/daemon.log" && fail "a message type forged a log record"
  grep -q 'received message x\\n1999-01-01' "$work/daemon.log" || fail "the type's line break is not escaped"
  grep -q $'\xff' "$work/daemon.log" && fail "invalid UTF-8 copied into the log"
  grep -q 'bad\\xff' "$work/daemon.log" || fail "the invalid byte is not shown escaped"
  ;;
stalled_frame)
  # A length field announcing 1 MB, two bytes, then nothing: the channel is deaf only until the partial frame
  # is dropped. Then the same stall from a host that keeps polling, every 0.7 s: its messages are read as the
  # stalled frame's bytes, which is dropped 2 s after its first byte all the same. The first poll, written with
  # the frame, is lost with it; polls after the drop are answered.
  own_daemon
  polls=()
  for _ in 1 2 3 4 5 6 7 8; do polls+=('{"type":"check-mic-permissions"}' 'sleep 700'); done
  host 'send-bytes 00001000 7b22' 'expect-log Receiving a frame of 1048576 bytes over several reads' \
    'sleep 2200' 'expect-log Dropping an incomplete frame of 1048576 bytes after 2' \
    '{"type":"check-mic-permissions"}' 'expect check-mic-permissions' \
    'send-bytes 00001000 7b22' '{"type":"check-camera-permissions"}' "${polls[@]}" \
    'wait-for check-mic-permissions' > "$work/host.out" || fail "channel deaf after a stalled frame"
  cat "$work/host.out"
  grep -q '<- check-camera-permissions' "$work/host.out" && fail "a message read into the stalled frame was answered"
  grep -Eq 'Dropping an incomplete frame of 1048576 bytes after [1-9][0-9]+: ' "$work/daemon.log" ||
    fail "the polls were not read into the stalled frame"
  ;;
long_frame)
  # A 5 MiB message written whole takes the daemon more than 2 s to read (80 KiB a poll): it is kept while it
  # arrives and answered, and its record holds the payload's first 4096 bytes and its length, not 5 MB.
  own_daemon
  python3 -c 'print("{\"type\":\"check-mic-permissions\",\"payload\":{\"pad\":\"" + "x" * (5 << 20) + "\"}}")' \
    > "$work/long.txt"
  printf '%s\n' 'expect check-mic-permissions' '{"type":"check-all-permissions"}' 'expect check-all-permissions' \
    >> "$work/long.txt"
  host --timeout-ms 30000 --script "$(winpath "$work/long.txt")" > "$work/host.out"
  status=$?
  cut -c1-160 "$work/host.out"
  [ "$status" = 0 ] || fail "no answer to a long message"
  grep -q 'received message check-mic-permissions payload: {"pad":"xxxxxxxx*\.\.\. (5242890 bytes)' \
    "$work/daemon.log" || fail "the long payload's record is not its start and length"
  [ "$(stat -c %s "$work/daemon.log")" -lt 100000 ] || fail "the log took $(stat -c %s "$work/daemon.log") bytes"
  ;;
deep_nesting)
  # 30,000 levels (60 KB): refused before it is copied or dumped, and the daemon goes on answering.
  own_daemon
  python3 -c 'n = 30000; print("{\"type\":\"check-mic-permissions\",\"payload\":" + "[" * n + "]" * n + "}")' \
    > "$work/deep.txt"
  printf '%s\n' '{"type":"check-all-permissions"}' 'expect check-all-permissions' \
    'expect-log nested deeper than 64 levels' >> "$work/deep.txt"
  host --script "$(winpath "$work/deep.txt")" || fail "no answer after a deeply nested message"
  ;;
host_cli)
  # The CLI itself: an exit seen only after the limit fails; a daemon that does not exit fails at the limit,
  # it is not waited for; malformed numbers are usage errors (2) before anything starts. A CLI that hangs is
  # ended after 60 s (status 124).
  own_daemon
  host_timed() {
    timeout 60 "$root/scripts/wine-run.sh" "$bin/vell-host.exe" --daemon "$DAEMON" "$@" 2>&1 | tr -d '\r' > "$work/cli.out"
    return "${PIPESTATUS[0]}"
  }
  expect_status() { # status what
    [ "$status" = "$1" ] || { cat "$work/cli.out"; fail "$2: status $status, expected $1"; }
  }
  host_timed close-pipe 'sleep 600' 'expect-exit 0 within 250'; status=$?
  expect_status 1 "expect-exit after its limit"
  grep -q 'seen only after the limit of 250 ms' "$work/cli.out" || fail "expect-exit after its limit: no reason"
  host_timed 'sleep 300' 'expect-exit 0 within 100'; status=$?
  expect_status 1 "expect-exit on a daemon that keeps running"
  grep -q 'daemon still running after' "$work/cli.out" || fail "expect-exit on a running daemon: no reason"
  host_timed 'sleep abc'; status=$?; expect_status 2 "sleep abc"
  host_timed 'expect-exit 0 within soon'; status=$?; expect_status 2 "expect-exit 0 within soon"
  host_timed 'send-bytes zz'; status=$?; expect_status 2 "send-bytes zz"
  host_timed --timeout-ms 10s close-pipe; status=$?; expect_status 2 "--timeout-ms 10s"
  grep -q 'daemon started' "$work/cli.out" && fail "a usage error started the daemon"
  ;;
queue_order)
  own_daemon
  types=(camera mic all camera mic all camera mic all camera)
  args=()
  for t in "${types[@]}"; do args+=("{\"type\":\"check-$t-permissions\"}"); done
  for t in "${types[@]}"; do args+=("expect check-$t-permissions"); done
  host "${args[@]}" || fail "ten replies in order"
  ;;
pipe_closed)
  own_daemon
  host 'close-pipe' 'expect-exit 0 within 250' || fail "daemon did not leave when the pipe closed"
  ;;
host_killed)
  own_daemon
  host '{"type":"check-mic-permissions"}' 'expect check-mic-permissions' 'terminate' \
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
  grep -q 'INFO .*argv <redacted: 8 bytes>' "$work/badjson.log" || fail "bad argument: not logged"
  # The secret stays out of the log on every path: unparsable, not a string, repeated, misplaced.
  n=0
  for arg in '{"payload":{"daemonOptions":{"pipePath":"\\\\.\\pipe\\none","secret":"TOPSECRET3"}}} trailing' \
             '{"payload":{"daemonOptions":{"pipePath":"\\\\.\\pipe\\none","secret":TOPSECRET3}}}' \
             '{"payload":{"daemonOptions":{"pipePath":"\\\\.\\pipe\\none","secret":12345678}}}' \
             '{"payload":{"daemonOptions":{"secret":"TOPSECRET3","pipePath":"\\\\.\\pipe\\none","secret":"s"}}}' \
             '{"secret":"TOPSECRET3","payload":{"daemonOptions":{"pipePath":"\\\\.\\pipe\\none"}}}'; do
    n=$((n + 1))
    run "$bin/VellRecorder.exe" "$arg" > "$work/secret$n.log" 2>&1 && fail "bad argument $n: exit status 0"
    grep -q 'INFO .*argv ' "$work/secret$n.log" || fail "bad argument $n: not logged"
    grep -qE 'TOPSECRET3|12345678' "$work/secret$n.log" && { cat "$work/secret$n.log"; fail "secret in the log ($n)"; }
  done
  ;;
*) echo "unknown scenario $scenario"; exit 2 ;;
esac
echo "PASS: $scenario"
