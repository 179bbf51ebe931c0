#!/usr/bin/env bash
# Software screen session benchmark, side by side with the peer a user would pick on this platform: records a
# moving test picture the size of the virtual screen (1920x1080 unless VELL_SCREEN_SIZE says) under Wine, in turns,
#   - through the session (bench/sessions/swsession_bench.exe), which also times its stages alone, and
#   - through Windows FFmpeg on the same GDI (gdigrab -> libx264 -preset veryfast, 5 Mb/s by default, GOP 30),
# and prints for each: delivered frames per second (read from the recordings with ffprobe), CPU time per delivered
# frame and minor page faults per delivered frame, with the 1-minute load average as each turn ended; then the
# medians over the runs.
#   scripts/bench-swsession.sh [BUILD_DIR] [SECONDS] [OUTPUT_WIDTH OUTPUT_HEIGHT]
# The output size defaults to the screen's. scripts/bench-swsession-sizes.sh sweeps screen sizes.
# BUILD_DIR is a Windows build with the target swsession_bench built (default build/windows).
# Environment:
#   VELL_BENCH_RUNS=N          turns of each contender (default 3); medians are printed
#   VELL_BENCH_BASELINE="NAME=EXE ..."  other swsession_bench.exe builds (e.g. older ones) recorded in the same
#                              turns under the given names
#   VELL_BENCH_NO_PEER=1       leave the peer out
#   VELL_PEER_CACHE=DIR        where the peer's package is kept (default /var/cache/vellrecorder/peer)
#   VELL_PEER_BITRATE=RATE     the peer's bit rate (default 5M)
#   VELL_SCREEN_SIZE=WxH       the virtual screen's size (scripts/wine-run.sh; default 1920x1080)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
if [ "${VELL_WINE_ENV_ACTIVE:-}" != 1 ]; then
  exec "$here/wine-run.sh" "${BASH_SOURCE[0]}" "$@"
fi

build=$(realpath "${1:-$root/build/windows}")
seconds=${2:-20}
screen=${VELL_SCREEN_SIZE:-1920x1080}
out_w=${3:-${screen%x*}} out_h=${4:-${screen#*x}}
runs=${VELL_BENCH_RUNS:-3}
bench="$build/bench/sessions/swsession_bench.exe"
[ -x "$bench" ] || { echo "build it first: cmake --build $build --target swsession_bench"; exit 1; }
baselines=${VELL_BENCH_BASELINE:-}

# The peer: a static Windows build of FFmpeg 4.1 from its npm package, fetched once and kept in the cache (never
# in the source tree). Several benchmark runs may share the cache: one fetches, the others wait for it.
peer_exe() {
  local cache=${VELL_PEER_CACHE:-/var/cache/vellrecorder/peer}
  local exe="$cache/package/ffmpeg.exe"
  mkdir -p "$cache"
  (
    flock 9
    if [ ! -x "$exe" ]; then
      if [ ! -s "$cache/ffmpeg-installer-win32-x64-4.1.0.tgz" ]; then
        (cd "$cache" && npm pack --silent @ffmpeg-installer/win32-x64@4.1.0 >/dev/null)
      fi
      tar -xzf "$cache/ffmpeg-installer-win32-x64-4.1.0.tgz" -C "$cache" package/ffmpeg.exe
      chmod +x "$exe"
    fi
  ) 9>"$cache/.lock" >&2
  echo "$exe"
}
peer=""
if [ "${VELL_BENCH_NO_PEER:-}" != 1 ]; then peer=$(peer_exe); fi

work=$(mktemp -d /tmp/vell-swsession-bench.XXXXXX)
pidfile="$work/pattern.pid"
trap '"$root/tests/sessions/moving_pattern.sh" stop "$pidfile"; rm -rf "$work"' EXIT
"$root/tests/sessions/moving_pattern.sh" start "$pidfile" "$screen"

# Frames and frames per second of the video in the given .ts files: decoded frames, over the span of their times.
delivered() {
  local frames=0 n part
  local pts_file="$work/pts.txt"
  : >"$pts_file"
  for part in "$@"; do
    n=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of default=nw=1:nk=1 "$part" |
      awk 'NF { print; exit }')
    frames=$((frames + ${n:-0}))
    ffprobe -v error -select_streams v:0 -show_entries packet=pts -of default=nw=1:nk=1 "$part" | awk 'NF' >>"$pts_file"
  done
  sort -n "$pts_file" | awk -v f="$frames" 'NR == 1 { first = $1 } { last = $1 }
    END { span = (last - first) / 90000; printf "%d %.2f\n", f, (span > 0 ? (f - 1) / span : 0) }'
}

# One turn of a swsession_bench.exe: "fps cpu_ms_per_frame faults_per_frame alone_ms_per_frame".
run_session() {
  local exe=$1 name=$2 dir="$work/$2" log="$work/$2.txt" stage_frames=${3:-0}
  rm -rf "$dir" && mkdir -p "$dir"
  # The program reads its own page faults from /proc through its Linux process id (the same through the exec).
  bash -c 'VELL_BENCH_UNIX_PID=$$ exec "$@"' _ "$here/wine-run.sh" "$exe" "Z:$dir" "$seconds" "$stage_frames" \
    "$out_w" "$out_h" | tr -d '\r' >"$log"
  sed "s/^/  [$name] /" "$log" >&2
  local frames_fps cpu faults alone
  frames_fps=$(delivered $(ls "$dir"/part-*.ts | sort -t- -k2 -n))
  cpu=$(awk '/per delivered frame/ { for (i = 1; i <= NF; i++) if ($(i + 1) == "CPU" && $(i + 2) == "ms") print $i }' "$log")
  faults=$(awk '/minor page faults, / { print $(NF - 3) }' "$log")
  alone=$(awk '/^stages alone: .* CPU ms per frame not skipped/ { print $(NF - 6) }' "$log")
  echo "$(echo "$frames_fps" | cut -d' ' -f2) ${cpu:-nan} ${faults:-nan} ${alone:--}"
}

# Minor page faults and CPU seconds (user + system) of a process, from /proc.
proc_stat() { awk '{ sub(/^.*\) /, ""); print $8, ($12 + $13) / '"$(getconf CLK_TCK)"' }' "/proc/$1/stat"; }

# One turn of the peer: "fps cpu_ms_per_frame faults_per_frame". Its CPU time and faults are taken from /proc
# while it records, from its first frame on (the program's start and encoder set-up left out, as the
# session's figures leave out its initialisation), up to the end of the recording.
run_peer() {
  local out="$work/peer.ts" log="$work/peer.txt"
  rm -f "$out"
  "$here/wine-run.sh" "$peer" -hide_banner -nostdin -loglevel error -stats \
    -f gdigrab -framerate 30 -video_size "$screen" -t "$((seconds + 1))" -i desktop \
    -vf "scale=${out_w}:${out_h}" -pix_fmt yuv420p -c:v libx264 -preset veryfast -b:v "${VELL_PEER_BITRATE:-5M}" -g 30 \
    -vsync passthrough -f mpegts "Z:$out" 2>"$log" &
  local pid=$! begin end
  # The first second is the program's start and set-up: measure the [1 s, seconds + 1 s) span of it.
  sleep 1
  begin=$(proc_stat "$pid" 2>/dev/null || echo "0 0")
  local first_frames=$(tr '\r' '\n' <"$log" | awk '/^frame=/ { n = $2 } END { print n + 0 }' FS='[= ]+')
  sleep "$seconds"
  end=$(proc_stat "$pid" 2>/dev/null || echo "0 0")
  local last_frames=$(tr '\r' '\n' <"$log" | awk '/^frame=/ { n = $2 } END { print n + 0 }' FS='[= ]+')
  wait "$pid" || true
  local frames_fps
  frames_fps=$(delivered "$out")
  tr '\r' '\n' <"$log" | grep -v '^frame=' | sed 's/^/  [peer] /' >&2 || true
  echo "  [peer] $(echo "$frames_fps" | cut -d' ' -f1) frames in the recording; $((last_frames - first_frames))" \
    "encoded in the measured ${seconds} s" >&2
  awk -v b="$begin" -v e="$end" -v n="$((last_frames - first_frames))" -v fps="$(echo "$frames_fps" | cut -d' ' -f2)" \
    'BEGIN { split(b, x, " "); split(e, y, " ");
             if (n > 0) printf "%s %.2f %.0f -\n", fps, (y[2] - x[2]) * 1000 / n, (y[1] - x[1]) / n;
             else printf "%s nan nan -\n", fps }'
}

# The machine is shared: the figures mean little without the load they were taken under.
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); ${runs} turn(s) of ${seconds} s, screen $screen," \
  "output ${out_w}x${out_h}"
echo "nice: $(nice)"
results="$work/results.txt"
load1() { cut -d' ' -f1 /proc/loadavg; }
: >"$results"
for turn in $(seq 1 "$runs"); do
  # Stages alone are timed in the first turn only: they do not depend on the turn.
  stage_frames=0
  [ "$turn" = 1 ] && stage_frames=150
  echo "session $(run_session "$bench" session "$stage_frames") $(load1)" >>"$results"
  for entry in $baselines; do
    echo "${entry%%=*} $(run_session "${entry#*=}" "${entry%%=*}") $(load1)" >>"$results"
  done
  [ -n "$peer" ] && echo "peer $(run_peer) $(load1)" >>"$results"
  echo "turn $turn: load $(cut -d' ' -f1 /proc/loadavg)" >&2
done

echo "---- per turn: contender, delivered fps, CPU ms per delivered frame, minor faults per delivered frame," \
  "CPU ms per frame of the stages alone (first turn), load average at the turn's end"
cat "$results"
echo "---- medians over $runs turn(s)"
alone=$(awk '$1 == "session" && $5 != "-" { print $5; exit }' "$results")
for who in session $(for entry in $baselines; do echo "${entry%%=*}"; done) peer; do
  grep -q "^$who " "$results" || continue
  awk -v who="$who" -v alone="${alone:-0}" 'BEGIN { n = 0 }
    $1 == who { fps[n] = $2; cpu[n] = $3; flt[n] = $4; ld[n] = $6; n++ }
    function median(a, n,   i, j, t) {
      for (i = 0; i < n; i++) for (j = i + 1; j < n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return n % 2 ? a[int(n / 2)] : (a[n / 2 - 1] + a[n / 2]) / 2 }
    END {
      f = median(fps, n); c = median(cpu, n); p = median(flt, n); l = median(ld, n)
      printf "%-8s %5.1f fps delivered, %6.2f CPU ms per delivered frame, %6.0f minor faults per frame, load %.2f",
             who, f, c, p, l
      if (who != "peer" && alone > 0) printf " (%.2f x the stages alone, %.2f ms)", c / alone, alone
      printf "\n" }' "$results"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
