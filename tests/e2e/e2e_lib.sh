# Shared by the end-to-end scenario scripts: `source e2e_lib.sh SCENARIO BIN_DIR` (without arguments, the
# sourcing script's own first two).
set -uo pipefail
scenario=$1
bin=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/tests/testing/fixture.sh"
# Every program a scenario starts has a bound (the host CLI bounds its own waits; this bounds the whole run), so
# that a hang fails the scenario with a record instead of waiting for CTest's time-out.
run_limit_s=${VELL_E2E_RUN_LIMIT_S:-120}
run() {
  local status
  timeout -k 5 "$run_limit_s" "$root/scripts/wine-run.sh" "$@"
  status=$?
  [ "$status" != 124 ] && [ "$status" != 137 ] || echo "watchdog: $1 did not finish within $run_limit_s s" >&2
  return "$status"
}
work=$(mktemp -d "${TMPDIR:-/tmp}/vell-e2e-$scenario.XXXXXX")
pattern_pid=
# Background programs of the scenario (players, servers), stopped at exit by their ids, the last started first.
stop_at_exit_pids=()
stop_at_exit() { stop_at_exit_pids=("$1" "${stop_at_exit_pids[@]}"); }
stop_pid() {
  if [ -n "$1" ] && kill "$1" 2>/dev/null; then
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$1" 2>/dev/null
  fi
}
# VELL_E2E_KEEP=1 keeps a failed scenario's folder (parts, logs) for a look afterwards.
cleanup_e2e() {
  local status=$? pid
  stop_pid "$pattern_pid"
  for pid in "${stop_at_exit_pids[@]}"; do stop_pid "$pid"; done
  if [ "$status" != 0 ] && [ -n "${VELL_E2E_KEEP:-}" ]; then
    echo "kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup_e2e EXIT
wine=${WINE:-/usr/lib/wine/wine64}
# The id of \\.\DISPLAY1, the virtual screen's only display.
DISPLAY_ID=2528732444

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
winpath_json() { winpath "$1" | sed 's/\\/\\\\/g'; }
unixpath() { sed -e 's/^[Zz]://' -e 's/\\\\/\//g' -e 's/\\/\//g' <<<"$1"; }
# Runs the host CLI against $DAEMON (a Windows path) when set, else the built daemon.
# Its console output is Windows text: lines end in CRLF, turned into LF here.
host() {
  run "$bin/vell-host.exe" --daemon-log "$(winpath "$work/daemon.log")" ${DAEMON:+--daemon "$DAEMON"} "$@" |
    tr -d '\r'
}
# The host CLI with its transcript written as it comes, for a shell that acts while it runs.
host_live() {
  run "$bin/vell-host.exe" --daemon-log "$(winpath "$work/daemon.log")" ${DAEMON:+--daemon "$DAEMON"} "$@" |
    stdbuf -o0 tr -d '\r'
}
# Waits for the COUNTth line with TEXT (default the first) in the transcript of a host running in the background.
wait_in_transcript() { # text seconds [count]
  local seen
  for _ in $(seq 1 $(($2 * 4))); do
    seen=$(grep -c -- "$1" "$work/host.out" 2>/dev/null)
    [ "${seen:-0}" -ge "${3:-1}" ] && return 0
    sleep 0.25
  done
  fail "no \"$1\" (${3:-1}) from the host within $2 s"
}
wait_for_host() { # pid seconds
  for _ in $(seq 1 $(($2 * 4))); do
    kill -0 "$1" 2>/dev/null || { wait "$1"; return; }
    sleep 0.25
  done
  kill "$1" 2>/dev/null
  fail "the host did not end within $2 s"
}
part_checksums() { (cd "$1" && md5sum part-*.ts 2>/dev/null); }
fail() {
  echo "FAIL: $*"
  if [ -s "$work/host.out" ]; then
    echo "--- host transcript (last 20 lines)"
    tail -n 20 "$work/host.out"
  fi
  echo "--- daemon log (last 40 lines)"
  tail -n 40 "$work/daemon.log" 2>/dev/null
  exit 1
}
# Waits up to 20 s of wall time (a busy machine can take that long to get the daemon there), returning as soon
# as the text is in the daemon's log.
wait_for_log() { # text
  local deadline=$((SECONDS + 20))
  while [ "$SECONDS" -lt "$deadline" ]; do
    grep -q "$1" "$work/daemon.log" 2>/dev/null && return 0
    sleep 0.1
  done
  grep -q "$1" "$work/daemon.log" 2>/dev/null
}

# A moving picture on the virtual screen, from a native X client.
start_pattern() {
  ffplay -f lavfi -i "testsrc2=size=1920x1080:rate=30" -noborder -left 0 -top 0 -an -loglevel quiet \
    -window_title vell-pattern >/dev/null 2>&1 &
  pattern_pid=$!
  sleep 1
}

# A PulseAudio server of the scenario's own (found through PULSE_RUNTIME_PATH by paplay and by Wine's audio
# driver in every Wine process started from here): another program's sound, or the end of a shared server while
# the daemon listens to it, must not reach the recording. Its null sink's monitor is the microphone
# "Monitor of Null Output".
own_pulseaudio() {
  local started=0
  start_own_pulse "$work/pulse" && started=1
  stop_at_exit "$own_pulse_pid"
  [ "$started" = 1 ] || fail "no PulseAudio"
}

# A tone of FREQUENCY Hz into SINK (without one, into the default sink: the null sink), for longer than any
# scenario records; its player ends with the sink.
play_tone() { # frequency [sink]
  local wav="$work/tone-$1.wav"
  [ -f "$wav" ] || ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=$1:sample_rate=48000:duration=120" "$wav" ||
    fail "no tone"
  paplay ${2:+--device="$2"} "$wav" &
  stop_at_exit $!
  sleep 0.5
}

# The "recorder-init" message for display $DISPLAY_ID at 1920x1080 without sound into FOLDER (a Linux path),
# changed by options: size=WIDTHxHEIGHT, microphone=NAME, system-audio (recordInternalAudio true), folder-as-is
# (FOLDER goes into the JSON as given: a drive path, or a folder that is none), and JSON fragments of further
# recording options (',"cropRect":...', see crop_rect). An empty option is none.
recorder_init() { # folder [option...]
  local folder=$1 width=1920 height=1080 microphone= system=false extra= as_is= option
  shift
  for option; do
    case $option in
    size=*x*)
      width=${option#size=}
      height=${width#*x}
      width=${width%x*}
      ;;
    microphone=*) microphone=${option#microphone=} ;;
    system-audio) system=true ;;
    folder-as-is) as_is=1 ;;
    ,*) extra+=$option ;;
    "") ;;
    *) echo "recorder_init: unknown option $option" >&2; return 2 ;;
    esac
  done
  [ -n "$as_is" ] || folder=$(winpath_json "$folder")
  printf '{"type":"recorder-init","payload":{"recordingOptions":{"outputPath":"%s","displayId":%s,"width":%s,"height":%s,"audioDeviceId":"%s","recordInternalAudio":%s%s}}}' \
    "$folder" "$DISPLAY_ID" "$width" "$height" "$microphone" "$system" "$extra"
}
# The recording option that crops the display (in the host's points).
crop_rect() { printf ',"cropRect":{"X":%s,"Y":%s,"Width":%s,"Height":%s}' "$@"; }

# Decodes with the stream's own 90 kHz time base: frames carry their real capture times, which ffmpeg would
# otherwise round onto a guessed constant rate and then report two frames on one tick.
decode_clean() { # file
  local errors
  errors=$(ffmpeg -nostdin -v error -i "$1" -enc_time_base -1 -f null - 2>&1)
  [ -z "$errors" ] || { echo "$1: $errors" | head -5; return 1; }
}

# Paths of the parts reported in a host transcript, in order, as Linux paths.
reported_parts() { # host-output
  sed -n 's/.*<- hls-part-written {"filePath":"\(.*\)"}.*/\1/p' "$1" | while read -r p; do unixpath "$p"; done
}
# The same, each after the number of "recorder-initialized" replies before it: the recording it belongs to.
reported_parts_by_recording() { # host-output
  awk '/<- recorder-initialized/ { r++ } /<- hls-part-written \{"filePath":"/ { print r + 0 }' "$1" |
    paste -d ' ' - <(reported_parts "$1")
}

# Every reported part exists, is in the output folder tree, decodes cleanly and has the expected size;
# every part file on disk was reported.
check_parts() { # host-output folder width height
  local part count=0 size folder recording index=0 first=0 recordings=0 r
  local -A next_number=()
  while read -r r part; do
    [ -f "$part" ] || fail "reported part $part does not exist"
    decode_clean "$part" || fail "$part does not decode cleanly"
    ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$part" |
      awk -F, '$1 == "" { next } seen && $1 <= last { bad = 1 } { last = $1; seen = 1 } END { exit bad }' ||
      fail "$part: video timestamps do not increase"
    size=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$part" | head -n1)
    [ "$size" = "$3x$4" ] || fail "$part is $size, expected $3x$4"
    # A recording's parts are reported in order, numbered after the parts already in its folder; a new folder or
    # a new "recorder-init" is a new recording, whose 4-second slots count from 0 again.
    if [ "$(dirname "$part")" != "${folder:-}" ] || [ "$r" != "${recording:-}" ]; then
      folder=$(dirname "$part") recording=$r recordings=$((recordings + 1))
      index=${next_number[$folder]:-0} first=${next_number[$folder]:-0}
    fi
    # A part lost whole to a failed write leaves a gap in the numbers (VELL_E2E_PART_GAPS=1): later parts keep
    # the numbers of their own 4-second slots.
    local number
    number=$(basename "$part" .ts | sed -n 's/^part-\([0-9][0-9]*\)$/\1/p')
    [ -n "$number" ] || fail "reported $part is not named part-N.ts"
    if [ "${VELL_E2E_PART_GAPS:-0}" = 1 ] && [ "$number" -gt "$index" ]; then index=$number; fi
    [ "$number" = "$index" ] || fail "reported $part as part $index"
    ffprobe -v error -select_streams v:0 -show_entries packet=pts,flags -of csv=p=0 "$part" |
      sed "s/^/$((index - first)),/" >> "$work/packets-$recordings.csv"
    count=$((count + 1)) index=$((index + 1))
    next_number[$folder]=$index
  done < <(reported_parts_by_recording "$1")
  [ "$count" -gt 0 ] || fail "no part reported"
  for f in "$work"/packets-*.csv; do
    awk -F, -v gaps="${VELL_E2E_PART_GAPS:-0}" -f "$root/tests/testing/part_cuts.awk" "$f" ||
      fail "parts not cut at keyframes past 4 s"
  done
  [ "$count" = "$(find "$2" -name 'part-*.ts' | wc -l)" ] || fail "parts on disk and reports differ"
  echo "checked $count parts of $3x$4"
}

check_last_part_before_finished() { # host-output
  local last_part finished
  last_part=$(grep -n '<- hls-part-written' "$1" | tail -1 | cut -d: -f1)
  finished=$(grep -n '<- recorder-finished' "$1" | tail -1 | cut -d: -f1)
  [ -n "$finished" ] && [ "$last_part" -lt "$finished" ] || fail "last part reported after recorder-finished"
}

check_display_info() { # host-output
  grep -q "<- display-info {\"displays\":\[{\"id\":$DISPLAY_ID,\"screenshotPath\":\"[^\"]*png\"}\]}" "$1" ||
    fail "display-info does not list the virtual screen"
}

# The metrics payload has its shape, and the frame rate agrees with the frames in the parts over the time
# from "recorder-start" to "finish" as the host saw it (paused time included, as the daemon counts it).
check_metrics() { # host-output height
  local frames=0 part n
  while read -r part; do
    n=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$part" | head -n1)
    frames=$((frames + n))
  done < <(reported_parts "$1")
  python3 - "$1" "$frames" "$2" <<'PY' || fail "metrics"
import json, re, sys
text, frames, height = open(sys.argv[1]).read(), int(sys.argv[2]), sys.argv[3]
start = float(re.search(r"\[ *([0-9.]+) ms\] -> \{\"type\":\"recorder-start\"\}", text).group(1))
stop = float(re.search(r"\[ *([0-9.]+) ms\] -> \{\"type\":\"finish\"\}", text).group(1))
seconds = int((stop - start) / 1000)
payload = json.loads(re.findall(r"<- recorder-finished (\{.*\})", text)[-1])
metrics = payload["recordingMetrics"]
fps = metrics[-1]
assert fps["metric_name"] == "frames_per_second" and fps["metric_type"] == "histogram", fps
assert [t[0] for t in fps["tags"]] == ["acceleration", "resolution", "video_source"], fps
assert dict(fps["tags"]) == {"acceleration": "software", "resolution": height + "p", "video_source": "screen"}, fps
# The daemon's clock and ours differ by the message latency, which a busy machine stretches: allow two seconds
# either way. A rate over the wrong time (without the pause, say) or a wrong frame count still falls outside.
low, high = frames // (seconds + 2), frames // max(1, seconds - 2)
print(f"frames in parts {frames} over about {seconds} s: metric {fps['metric_value']} fps, allowed {low}..{high}")
assert low <= fps["metric_value"] <= high, "frame rate disagrees with the parts"
PY
}

# Paused time is left out: the time line of all parts together has no hole near the pause's length, and it ends no
# later than the time recorded without the pause (from the host's transcript; frames are taken before "finish"
# arrives, and the pause the daemon measures starts no earlier than the host sent it). A busy machine makes
# frames sparse but cannot move them later, so the end bound needs only the messages' latency.
check_no_gap() { # folder host-output
  cat $(ls "$1"/part-*.ts | sort -V) > "$work/all.ts"
  ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$work/all.ts" |
    python3 -c '
import re, sys
text = open(sys.argv[1]).read()
def sent(kind):
    return float(re.search(r"\[ *([0-9.]+) ms\] -> \{\"type\":\"" + kind + r"\"\}", text).group(1))
paused = sent("resume") - sent("pause")
active = sent("finish") - sent("recorder-start") - paused
t = sorted(int(v.strip().strip(",")) / 90.0 for v in sys.stdin if v.strip().strip(",") not in ("", "N/A"))
gap = max(b - a for a, b in zip(t, t[1:]))
print(f"{len(t)} frames over {t[-1]-t[0]:.0f} ms, last at {t[-1]:.0f} ms of {active:.0f} ms recorded without the "
      f"{paused:.0f} ms pause; largest gap {gap:.0f} ms")
sys.exit(0 if gap < paused * 0.85 and t[-1] <= active + 1500 else 1)' "$2" || fail "the pause is in the time line"
}

# The picture moves: the decoded pictures of the first part (or of the part given) are not all the same: ten
# different ones, or, where a busy machine left few frames (a frame a second was seen), most of them.
moving_picture() { # [part]
  local first sums frames distinct
  first=${1:-$(reported_parts "$work/host.out" | head -n1)}
  sums=$(ffmpeg -nostdin -v error -i "$first" -map 0:v:0 -fps_mode passthrough -f framemd5 - | grep -v '^#' |
    awk -F, '{ print $NF }')
  frames=$(grep -c . <<<"$sums")
  distinct=$(sort -u <<<"$sums" | grep -c .)
  echo "$distinct distinct pictures among $frames in $(basename "$first")"
  [ "$distinct" -ge 10 ] || { [ "$distinct" -ge 2 ] && [ $((distinct * 2)) -ge "$frames" ]; } ||
    fail "the recorded picture does not move"
}

wait_for_exit_record() { wait_for_log 'queued messages not sent'; }

reg_key='HKCU\Software\Microsoft\DirectX\UserGpuPreferences'

# A private copy of the daemon, so that its registry value (named by its path) is its own.
private_daemon() {
  cp "$bin/VellRecorder.exe" "$work/VellRecorder.exe"
  winpath "$work/VellRecorder.exe"
}
# The daemon `host` starts from here on: a private copy whose GPU preference is set, so that it introduces itself
# without asking for a restart.
own_daemon() {
  DAEMON=$(private_daemon)
  preference_set "$DAEMON"
}
# Marks the daemon's GPU preference as already set, so that no "pending-restart" follows the introduction.
# A write to a busy prefix's registry has been seen lost once, so it is read back.
preference_set() {
  local attempt
  for attempt in 1 2 3; do
    run "$wine" reg add "$reg_key" /v "$1" /t REG_EXPAND_SZ /d 'GpuPreference=1;' /f >/dev/null 2>&1
    run "$wine" reg query "$reg_key" /v "$1" 2>/dev/null | grep -q 'GpuPreference=1;' && return 0
    sleep 1
  done
  fail "could not set the GPU preference of $1"
}

