#!/usr/bin/env bash
# desktop_e2e.sh SCENARIO BIN_DIR — one end-to-end scenario of the window queries: the real daemon, the host
# CLI and a window owned by a third process, under Wine (scripts/wine-run.sh starts the environment).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/e2e_lib.sh" "$@"
# The daemon introduces itself without asking for a restart, whichever prefix the scenario runs in.
own_daemon

title='Vell E2E Notes - Owner App'
owner_pid=
# The owner leaves when its stop file appears; it is waited for, so no window outlives its scenario.
stop_owner() {
  [ -n "$owner_pid" ] || return 0
  touch "$work/stop-owner"
  for _ in $(seq 1 50); do kill -0 "$owner_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$owner_pid" 2>/dev/null && echo "window owner did not leave within 5 s"
  owner_pid=
}
trap 'status=$?; stop_owner; (exit $status); cleanup_e2e' EXIT
# A window whose client area lies at these pixels (by default 400x300 at (300, 200)); it leaves by itself
# after a minute at the latest.
start_owner() { # [left top right bottom]
  run "$bin/windowowner.exe" 60000 "$(winpath "$work/stop-owner")" "$title" ${1:-300 200 700 500} >/dev/null 2>&1 &
  owner_pid=$!
  sleep 1.5
}

# The listed object of our window has its values; prints its screenshot path.
check_window() { # host-output want-screenshot [bounds-json]
  local default_bounds='{"Height": 300, "Width": 400, "X": 300, "Y": 200}'
  python3 - "$1" "$2" "$title" "${3:-$default_bounds}" <<'PY'
import json, re, sys
text, want_picture, title = open(sys.argv[1]).read(), sys.argv[2] == "1", sys.argv[3]
bounds = json.loads(sys.argv[4])
payload = json.loads(re.findall(r"<- windows-info (\{.*\})", text)[-1])
windows = payload["windowsInfoArrayString"]
ours = [w for w in windows if w["kCGWindowName"] == title]
assert len(ours) == 1, windows
w = ours[0]
fixed = {"kCGWindowAlpha": 1, "kCGWindowLayer": 0, "kCGWindowMemoryUsage": 0, "kCGWindowSharingState": 1,
         "kCGWindowStoreType": 1, "kCGWindowIsOnscreen": True, "kCGWindowOwnerName": "Owner App",
         "kCGWindowBounds": bounds}
assert {k: w[k] for k in fixed} == fixed, w
assert sorted(w) == sorted(list(fixed) + ["kCGWindowName", "kCGWindowNumber", "kCGWindowOwnerPID",
                                          "screenshotPath"]), sorted(w)
assert isinstance(w["kCGWindowOwnerPID"], int) and w["kCGWindowOwnerPID"] > 0, w
assert isinstance(w["kCGWindowNumber"], int) and w["kCGWindowNumber"] > 0, w
assert (w["screenshotPath"] != "") == want_picture, w
for other in windows:
    assert other["kCGWindowName"] != "" and (other["screenshotPath"] != "") in (want_picture, False), other
print(w["screenshotPath"])
PY
}

case "$scenario" in
list_hidpi)
  # At 144 DPI a point is 1.5 pixels: the client area {300, 210, 720, 510} is {200, 140, 480, 340} in points.
  dpi_key='HKCU\Control Panel\Desktop'
  run "$wine" reg add "$dpi_key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
  start_owner "300 210 720 510"
  host '{"type":"get-windows","payload":{"takeScreenshots":false}}' 'wait-for windows-info' > "$work/host.out"
  status=$?
  stop_owner
  run "$wine" reg add "$dpi_key" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
  [ "$status" = 0 ] || fail "no windows-info"
  check_window "$work/host.out" 0 '{"Height": 200, "Width": 280, "X": 200, "Y": 140}' >/dev/null ||
    fail "window list at 144 DPI"
  ;;
screenshots)
  start_owner
  host '{"type":"get-windows","payload":{"takeScreenshots":true}}' 'wait-for windows-info' > "$work/host.out" ||
    fail "no windows-info"
  path=$(check_window "$work/host.out" 1) || fail "window list with screenshots"
  # The daemon's temporary directory is on the prefix's drive C:.
  file="$WINEPREFIX/drive_c$(sed -e 's/^[Cc]://' -e 's/\\/\//g' <<<"$path")"
  [ -f "$file" ] || fail "screenshot $file does not exist"
  # The picture has the client area's size. Its content is not checked here: Wine's PrintWindow draws another
  # process's window black (the in-process test checks the pixels of a window of its own).
  python3 - "$file" <<'PY' || fail "screenshot is not a 400x300 PNG"
import struct, sys
head = open(sys.argv[1], "rb").read(24)
assert head[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", head[16:24]) == (400, 300), head
PY
  case "$(basename "$file")" in [0-9]*-[0-9]*.png) ;; *) fail "screenshot name $file" ;; esac
  ;;
activate)
  start_owner
  host "{\"type\":\"change-active-window\",\"payload\":{\"kCGWindowName\":\"$title\"}}" \
    'expect change-active-window {"success":true}' 'expect-no-log no window found' \
    '{"type":"change-active-window","payload":{"kCGWindowName":"Vell E2E No Such Window"}}' \
    'expect change-active-window {"success":true}' 'expect-log no window found' || fail "change-active-window"
  ;;
no_window)
  # Nothing of ours is open: Wine's own processes own no visible titled top-level window.
  host '{"type":"get-windows","payload":{"takeScreenshots":true}}' \
    'expect windows-info {"windowsInfoArrayString":null}' || fail "no window: not null"
  ;;
bad_payload)
  host '{"type":"get-windows"}' '{"type":"get-windows","payload":{"takeScreenshots":"yes"}}' \
    '{"type":"change-active-window","payload":{}}' \
    '{"type":"change-active-window","payload":{"kCGWindowName":5}}' \
    '{"type":"check-mic-permissions"}' 'expect check-mic-permissions' \
    'expect-log Failed to handle message get-windows: [json.exception.type_error.306] payload must be an object to read "takeScreenshots"' \
    'expect-log "takeScreenshots": type must be boolean, but is string' \
    "expect-log Failed to handle message change-active-window: [json.exception.out_of_range.403] key 'kCGWindowName' not found" \
    'expect-log "kCGWindowName": type must be string, but is number' || fail "bad payloads"
  ;;
*) echo "unknown scenario $scenario"; exit 2 ;;
esac
echo "PASS: $scenario"
