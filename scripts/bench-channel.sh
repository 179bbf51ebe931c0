#!/usr/bin/env bash
# Control-channel benchmark, under Wine: the host CLI drives the built daemon over a real named pipe.
#   1. Reply latency: ROUNDS permission checks, one at a time, each sent at a different phase of the daemon's
#      poll (a pause of 0-49 ms before it); prints the median, 90th percentile and largest time from
#      sending a request to receiving its reply.
#   2. Burst: BURST permission checks written at once; prints the time from the first request to the last
#      reply, and checks every reply came, in order.
#   scripts/bench-channel.sh [BIN_DIR] [ROUNDS] [BURST]
# BIN_DIR holds VellRecorder.exe and vell-host.exe (default build/windows/bin).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
bin=$(realpath "${1:-$root/build/windows/bin}")
rounds=${2:-60}
burst=${3:-1000}
for f in VellRecorder.exe vell-host.exe; do
  [ -f "$bin/$f" ] || { echo "build it first: cmake --build --preset windows --target VellRecorder vell-host"; exit 1; }
done
work=$(mktemp -d /tmp/vell-channel-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# A private copy whose GPU preference is already stored, so that no "pending-restart" joins the replies.
cp "$bin/VellRecorder.exe" "$work/VellRecorder.exe"
daemon=$(winpath "$work/VellRecorder.exe")
"$root/scripts/wine-run.sh" /usr/lib/wine/wine64 reg add \
  'HKCU\Software\Microsoft\DirectX\UserGpuPreferences' /v "$daemon" /t REG_EXPAND_SZ /d 'GpuPreference=1;' /f \
  >/dev/null 2>&1

host() { # script-file output-file
  VELL_WINE_QUIET=1 "$root/scripts/wine-run.sh" "$bin/vell-host.exe" --daemon "$daemon" --timeout-ms 120000 \
    --daemon-log "$(winpath "$work/daemon.log")" --script "$(winpath "$1")" | tr -d '\r' > "$2"
}

python3 - "$rounds" > "$work/latency.txt" <<'PY'
import random, sys
random.seed(7)
for _ in range(int(sys.argv[1])):
    print(f"sleep {random.randrange(50)}")
    print('{"type":"check-mic-permissions"}')
    print("expect check-mic-permissions")
PY
python3 - "$burst" > "$work/burst.txt" <<'PY'
import sys
n = int(sys.argv[1])
print("\n".join(['{"type":"check-mic-permissions"}'] * n))
print("\n".join(["expect check-mic-permissions"] * n))
PY

host "$work/latency.txt" "$work/latency.out" || { tail -n 20 "$work/latency.out"; exit 1; }
host "$work/burst.txt" "$work/burst.out" || { tail -n 20 "$work/burst.out"; exit 1; }

python3 - "$work/latency.out" "$work/burst.out" "$burst" <<'PY'
import re, statistics, sys
def times(path, arrow):
    pattern = re.compile(r"^\[ *([0-9.]+) ms\] " + re.escape(arrow) + r" .*check-mic-permissions")
    return [float(m.group(1)) for m in map(pattern.match, open(path)) if m]
sent, received = times(sys.argv[1], "->"), times(sys.argv[1], "<-")
assert len(sent) == len(received) > 0, (len(sent), len(received))
lat = sorted(r - s for s, r in zip(sent, received))
print(f"reply latency over {len(lat)} requests: median {statistics.median(lat):.1f} ms, "
      f"p90 {lat[int(len(lat) * 0.9) - 1]:.1f} ms, max {lat[-1]:.1f} ms")
sent, received = times(sys.argv[2], "->"), times(sys.argv[2], "<-")
n = int(sys.argv[3])
assert len(sent) == len(received) == n, (len(sent), len(received))
print(f"burst of {n} requests: last reply {received[-1] - sent[0]:.0f} ms after the first request "
      f"(requests written over {sent[-1] - sent[0]:.0f} ms)")
PY
