#!/usr/bin/env bash
# audio_e2e.sh SCENARIO BIN_DIR — recordings with sound: the real daemon driven by the host CLI over the named
# pipe, recording the virtual screen and the capture endpoint "Monitor of Null Output", which hears whatever is
# played into PulseAudio's null sink.
#   tone          a 440 Hz tone plays: every part decodes cleanly in ffmpeg and GStreamer and carries sound, the
#                 sound lasts as long as the picture, and it holds the tone
#   internal_only system audio alone, which Wine cannot capture: the recording still completes, with its picture
#   avsync        the screen flashes and beeps at the same instants: each flash has its beep, not far off
#   pause_resume  the same across a pause: neither time line keeps the pause, and the offset stays where it was
#   quick_pauses  the same across 30 quick pauses (100 ms paused, 150 ms recording): the offset stays within 45 ms
#   server_lost   the sound server ends while the microphone records: "cancel" is answered within 2 s, and the
#                 daemon leaves when the host closes the pipe
#   device_lost   the microphone's device goes away (the null sink unloaded) and comes back with the tone: silence
#                 stands for it meanwhile in every part, the tone is back after it, "finish" is answered within 2 s
#   loopback      system audio alone, through the loopback stand-in injected into the daemon (the default
#                 output's monitor): a tone played on the default output is in every part, and the daemon's
#                 silence plays there while it records
#   loopback_mix  system audio and a microphone, each hearing a tone of its own: every part holds both tones
set -uo pipefail
scenario=$1
bin=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# One test environment for the whole scenario: the sound played here must reach the PulseAudio the daemon hears.
if [ "${VELL_WINE_ENV_ACTIVE:-}" != 1 ]; then
  exec "$here/../../scripts/wine-run.sh" bash "${BASH_SOURCE[0]}" "$@"
fi
source "$here/e2e_lib.sh"
DAEMON=$(private_daemon)
preference_set "$DAEMON"
checks="$here/audio_checks.py"
microphone="Monitor of Null Output"

# A PulseAudio server of the scenario's own (found through PULSE_RUNTIME_PATH by paplay and by Wine's audio
# driver in every Wine process started from here): another program's sound, or the end of a shared server while
# the daemon listens to it, must not reach the recording.
own_pulseaudio
pulse_pid=$own_pulse_pid
stimulus_pid=

out="$work/out"
init() { # microphone system-audio
  printf '{"type":"recorder-init","payload":{"recordingOptions":{"outputPath":"%s","displayId":%s,"width":1920,"height":1080,"audioDeviceId":"%s","recordInternalAudio":%s}}}' \
    "$(winpath_json "$out")" "$DISPLAY_ID" "$1" "$2"
}
# DLLs the daemon is started with.
inject=()
# Records with the given options; the directives between start and finish come after them.
record() { # microphone system-audio directive...
  local mic=$1 system=$2
  shift 2
  host "${inject[@]}" --timeout-ms 30000 "$(init "$mic" "$system")" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' "$@" '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out"
}
# The same in the background, ending with STOP ("finish" or "cancel") and the directives after it, for a shell that
# acts while it records.
record_live() { # microphone stop directive...
  local mic=$1 stop=$2
  shift 2
  host_live --timeout-ms 30000 "$(init "$mic" false)" 'expect recorder-initialized' '{"type":"recorder-start"}' \
    'expect recorder-started' "$@" "{\"type\":\"$stop\"}" 'wait-for recorder-finished' "${after_stop[@]}" \
    > "$work/host.out" &
  host_pid=$!
  wait_in_transcript '<- recorder-started' 60
}
after_stop=()
# "recorder-finished" came within LIMIT ms of the request, as the host saw it.
answered_within() { # request limit-ms
  python3 - "$work/host.out" "$1" "$2" <<'PY' || fail "\"$1\" was not answered within $2 ms"
import re, sys
text, kind, limit = open(sys.argv[1]).read(), sys.argv[2], float(sys.argv[3])
sent = re.search(r"\[ *([0-9.]+) ms\] -> \{\"type\":\"" + kind + r"\"\}", text)
answer = re.search(r"\[ *([0-9.]+) ms\] <- recorder-finished", text[sent.end():])
took = float(answer.group(1)) - float(sent.group(1))
print(f"\"{kind}\" answered after {took:.0f} ms")
sys.exit(0 if took <= limit else 1)
PY
}
all_parts() {
  cat $(reported_parts "$work/host.out") > "$work/all.ts"
  echo "$work/all.ts"
}

# Each part holds the sound of its picture's time span: the parts' durations match within an AAC frame.
sound_follows_picture() {
  python3 "$checks" part-durations $(reported_parts "$work/host.out") || fail "a part's sound is not its picture's"
}

# Every part carries sound and decodes without a warning in ffmpeg (with the stream's own timing) and in
# GStreamer, picture and sound both; its sound is its picture's.
decode_with_sound() {
  local part errors
  while read -r part; do
    python3 "$checks" has-audio "$part" || fail "$part has no sound"
    errors=$(ffmpeg -nostdin -v warning -i "$part" -map 0 -fps_mode passthrough -enc_time_base -1 -f null - 2>&1)
    [ -z "$errors" ] || fail "$part: ffmpeg says: $errors"
    errors=$(gst-launch-1.0 -q filesrc location="$part" ! tsdemux name=d d. ! queue ! h264parse ! avdec_h264 ! \
      fakesink d. ! queue ! aacparse ! avdec_aac ! fakesink 2>&1) || fail "$part: GStreamer failed: $errors"
    ! grep -qiE 'warn|error|critical' <<<"$errors" || fail "$part: GStreamer says: $errors"
  done < <(reported_parts "$work/host.out")
  sound_follows_picture
}

# The flashes and beeps of the stimulus, measured in the recording. Flashes before the sound starts or after it
# ends (the first capture packet may come two seconds after the start) have nothing to be matched with.
# The stimulus's own latency (flash to the monitor hearing its beep) changes from beep to beep: the analyser
# takes each beep's own off its offset, leaving the daemon's.
sync_report() {
  local stimulus=(--stimulus "$work/stimulus.out") deadline=$((SECONDS + 40))
  # It gives its beeps' latencies when it ends: they are placed by all the sound it heard.
  while kill -0 "$stimulus_pid" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the stimulus did not end"
    sleep 0.2
  done
  python3 "$root/scripts/avsync_analyse.py" "${stimulus[@]}" --json "$(all_parts)" > "$work/sync.json" ||
    fail "analyser"
  python3 "$root/scripts/avsync_analyse.py" "${stimulus[@]}" "$work/all.ts"
}

# The tones (one frequency, or several separated by commas) are in each part.
tone_in_every_part() { # frequencies
  local part
  while read -r part; do
    python3 "$checks" tones "$part" "$1" || fail "$part does not hold $1 Hz"
  done < <(reported_parts "$work/host.out")
}

start_stimulus() { # seconds
  run "$bin/vell-avsync-stimulus.exe" "$1" > "$work/stimulus.out" 2>&1 &
  stimulus_pid=$!
  stop_at_exit "$stimulus_pid"
  # Its window is up and its sound plays before the recording starts; the first flash comes three seconds later,
  # once its sound has settled.
  local deadline=$((SECONDS + 20))
  until grep -q '^ready' "$work/stimulus.out" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] && kill -0 "$stimulus_pid" 2>/dev/null || fail "the stimulus did not start"
    sleep 0.1
  done
}

case "$scenario" in
tone)
  start_pattern
  play_tone 440
  record "$microphone" false 'sleep 10000' || fail "recording"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  check_last_part_before_finished "$work/host.out"
  decode_with_sound
  all=$(all_parts)
  python3 "$checks" gaps "$all" 500 || fail "a time line has a hole"
  python3 "$checks" tone "$all" 440 || fail "the tone is not in the recording"
  python3 "$checks" spans "$all" 50 || fail "sound and picture do not cover the same time"
  ;;
internal_only)
  start_pattern
  record "" true 'sleep 5000' || fail "recording without a system-audio source"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  check_last_part_before_finished "$work/host.out"
  grep -E 'ERROR.*(system audio|loopback)' "$work/daemon.log" || fail "no error record for the missing source"
  ;;
avsync)
  start_stimulus 28
  record "$microphone" false 'sleep 20000' || fail "recording"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  sync_report
  python3 - "$work/sync.json" <<'PY' || fail "flashes and beeps do not match"
import json, sys
r = json.load(open(sys.argv[1]))
assert r["audio_s"] and r["video_s"], "a stream is missing"
# Every flash while the microphone delivers has its beep, and every beep its flash. An endpoint's first packet
# comes up to two seconds after the start, and the recording holds silence until then: flashes before the first
# beep heard have none.
a0, a1 = r["audio_s"]
heard = [e["flash_s"] for e in r["events"] if e["beep_s"] is not None]
lost = [t for t in r["unmatched_flashes"] if heard and heard[0] < t < a1 - 0.3]
assert not lost and not r["unmatched_beeps"], (lost, r["unmatched_beeps"])
assert r["matched"] >= 5, r["matched"]
# The daemon's own offsets when the stimulus heard its beeps, else the offsets as recorded. A starved X server
# can show a single flash hundreds of milliseconds late (each beep must still be within the matching window):
# the bound is on the median.
offsets = sorted(r["own"]["offsets_ms"] if "own" in r else
                 [e["offset_ms"] for e in r["events"] if e["beep_s"] is not None])
assert abs(offsets[len(offsets) // 2]) <= 300, offsets
PY
  ;;
pause_resume)
  start_stimulus 36
  pause_ms=3300
  record "$microphone" false 'sleep 11000' '{"type":"pause"}' 'wait-for recorder-paused' "sleep $pause_ms" \
    '{"type":"resume"}' 'wait-for recorder-resumed' 'sleep 11000' || fail "recording"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  python3 "$checks" gaps "$(all_parts)" $((pause_ms / 2)) || fail "the pause is in a time line"
  sound_follows_picture
  sync_report
  python3 - "$work/sync.json" "$work/host.out" <<'PY' || fail "the offset moved across the pause"
import json, re, sys
r = json.load(open(sys.argv[1]))
text = open(sys.argv[2]).read()
def sent(kind):
    return float(re.search(r"\[ *([0-9.]+) ms\] -> \{\"type\":\"" + kind + r"\"\}", text).group(1)) / 1000
# Where the pause falls on the recording's time line, roughly: events within a second of it may have lost their
# flash or their beep to the pause and are left out.
cut = r["video_s"][0] + (sent("pause") - sent("recorder-start"))
matched = [e for e in r["events"] if e["beep_s"] is not None]
before = sorted(e["offset_ms"] for e in matched if e["flash_s"] < cut - 1.5)
after = sorted(e["offset_ms"] for e in matched if e["flash_s"] > cut + 1.5)
print(f"offsets before the pause {[round(o) for o in before]}, after {[round(o) for o in after]}")
assert len(before) >= 2 and len(after) >= 3, "too few events on a side of the pause"
change = after[len(after) // 2] - before[len(before) // 2]
print(f"median offset changed by {change:+.0f} ms across the pause")
assert abs(change) <= 150
assert all(abs(o) <= 300 for o in before + after)
PY
  ;;
device_lost)
  start_pattern
  play_tone 440
  record_live "$microphone" finish 'sleep 16000'
  started=$(date +%s.%N)
  sleep 5
  lost=$(date +%s.%N)
  pactl unload-module "$(pactl list short modules | awk '$2 == "module-null-sink" { print $1 }')" ||
    fail "the null sink could not be unloaded"
  sleep 5
  pactl load-module module-null-sink sink_name=vsink >/dev/null || fail "the null sink could not be loaded again"
  back=$(date +%s.%N)
  play_tone 440
  wait_for_host "$host_pid" 60 || fail "the recording"
  cat "$work/host.out"
  answered_within finish 2000
  check_parts "$work/host.out" "$out" 1920 1080
  all=$(all_parts)
  # Silence or sound under every picture, but for the last AAC frame's rounding, and in each part as much as
  # its picture.
  python3 "$checks" covered "$all" 22 $(reported_parts "$work/host.out") || fail "a picture without sound"
  sound_follows_picture
  lost=$(echo "$lost - $started" | bc) back=$(echo "$back - $started" | bc)
  echo "device lost at $lost s, back at $back s"
  # The edges move by the messages' latency; the sound starts and comes back up to two seconds late (the first
  # packet after opening the device), and the device is looked for once a second.
  python3 "$checks" tone-between "$all" 440 2.5 "$(echo "$lost - 1" | bc)" || fail "no tone before the loss"
  python3 "$checks" tone-between "$all" 0 "$(echo "$lost + 1" | bc)" "$(echo "$back - 0.5" | bc)" ||
    fail "sound while the device was gone"
  python3 "$checks" tone-between "$all" 440 "$(echo "$back + 3" | bc)" 15 || fail "the tone did not come back"
  [ "$(grep -c 'stopped delivering sound' "$work/daemon.log")" = 1 ] || fail "not one record of the loss"
  [ "$(grep -c 'is back after' "$work/daemon.log")" = 1 ] || fail "not one record of the return"
  traces=$(grep -c 'audiosource.cpp' "$work/daemon.log")
  echo "$traces trace lines of the audio source"
  [ "$traces" -le 20 ] || fail "the lost device floods the log"
  python3 - "$work/host.out" "$lost" "$back" <<'PY' || fail "metrics"
import json, re, sys
text, lost, back = open(sys.argv[1]).read(), float(sys.argv[2]), float(sys.argv[3])
metrics = json.loads(re.findall(r"<- recorder-finished (\{.*\})", text)[-1])["recordingMetrics"]
named = {(m["metric_name"], tuple(map(tuple, m["tags"]))): m["metric_value"] for m in metrics}
mic = ("device_name", "Monitor of Null Output")
assert ("audio_discontinuities_per_minute", (mic,)) in named, metrics
lost_ms = named[("audio_lost_ms", (mic, ("recorded", "true")))]
print(f"audio_lost_ms {lost_ms} for a device gone {back - lost:.1f} s")
assert (back - lost) * 1000 - 1000 <= lost_ms <= (back - lost) * 1000 + 3500, lost_ms
PY
  ;;
quick_pauses)
  start_stimulus 50
  cycles=()
  for _ in $(seq 1 30); do
    cycles+=('{"type":"pause"}' 'wait-for recorder-paused' 'sleep 100' '{"type":"resume"}' 'wait-for recorder-resumed'
      'sleep 150')
  done
  record "$microphone" false 'sleep 10000' "${cycles[@]}" 'sleep 14000' || fail "recording"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  sync_report
  python3 - "$work/sync.json" "$work/host.out" <<'PY' || fail "the offset moved across the pauses"
import json, re, sys
r = json.load(open(sys.argv[1]))
text = open(sys.argv[2]).read()
def sent(kind):
    return [float(t) / 1000 for t in re.findall(r"\[ *([0-9.]+) ms\] -> \{\"type\":\"" + kind + r"\"\}", text)]
start, pauses, resumes = sent("recorder-start")[0], sent("pause"), sent("resume")
paused = sum(b - a for a, b in zip(pauses, resumes))
# Where the pauses begin and end on the recording's time line, roughly: events near them may have lost their flash
# or their beep to a pause and are left out.
first = r["video_s"][0] + pauses[0] - start
last = r["video_s"][0] + resumes[-1] - start - paused
matched = [e for e in r["events"] if e["beep_s"] is not None]
before = sorted(e["offset_ms"] for e in matched if e["flash_s"] < first - 1)
after = sorted(e["offset_ms"] for e in matched if e["flash_s"] > last + 1.5)
print(f"offsets before the pauses {[round(o) for o in before]}, after {[round(o) for o in after]}")
# The recording's first seconds are the busiest (the offset there may be off for reasons of their own): the bound
# is on the offset after the pauses, each pause having moved it about 10 ms before. An offset as recorded includes
# the stimulus's own latency from its flash to its beep being heard (90 to 190 ms on a busy machine): the
# recorder's share is what is left without it. The pauses shift the time line, so the beeps after them are not
# paired with the stimulus's one by one: its mean latency is taken off.
assert len(after) >= 3, "too few events after the pauses"
latency = r.get("stimulus_latency_ms", {}).get("mean", 0.0)
recorded = after[len(after) // 2]
median = recorded - latency
print(f"median offset {recorded:+.0f} ms after {len(pauses)} pauses, "
      f"{median:+.0f} ms without the stimulus's mean latency ({latency:.0f} ms)")
assert abs(median) <= 45
PY
  ;;
server_lost)
  start_pattern
  after_stop=(close-pipe 'expect-exit 0 within 5000')
  record_live "$microphone" cancel 'sleep 8000'
  sleep 3
  kill "$pulse_pid"
  wait_for_host "$host_pid" 60 || fail "the recording or the daemon's exit"
  cat "$work/host.out"
  answered_within cancel 2000
  check_parts "$work/host.out" "$out" 1920 1080
  ;;
loopback)
  start_pattern
  play_tone 440 vsink
  inject=(--inject-dll "$(winpath "$bin/vell-loopback.dll")")
  record "" true 'sleep 10000' &
  recording=$!
  # The daemon's silence loop is a stream of its own into the default output, beside the tone's player, while
  # it records.
  silence=
  while [ -z "$silence" ] && kill -0 "$recording" 2>/dev/null; do
    silence=$(pactl list sink-inputs | grep -i 'application.*VellRecorder')
    sleep 0.25
  done
  wait_for_host "$recording" 60 || fail "recording"
  cat "$work/host.out"
  [ -n "$silence" ] || fail "no silence from the daemon played on the default output while it recorded"
  echo "the daemon plays into the default output: $silence"
  grep 'vell-loopback: the default output .* is heard through "Monitor of Null Output"' "$work/daemon.log" ||
    fail "the loopback stand-in did not answer"
  check_parts "$work/host.out" "$out" 1920 1080
  decode_with_sound
  tone_in_every_part 440
  ;;
loopback_mix)
  start_pattern
  # A second sink whose monitor is the microphone; the default output stays the first one.
  pactl load-module module-null-sink sink_name=micsink sink_properties=device.description=Microphone >/dev/null ||
    fail "no microphone sink"
  pactl set-default-sink vsink
  play_tone 440 vsink
  play_tone 660 micsink
  export VELL_LOOPBACK_MONITOR="Monitor of Null Output"
  inject=(--inject-dll "$(winpath "$bin/vell-loopback.dll")")
  record "Monitor of Microphone" true 'sleep 10000' || fail "recording"
  cat "$work/host.out"
  check_parts "$work/host.out" "$out" 1920 1080
  decode_with_sound
  tone_in_every_part 440,660
  ;;
*) fail "unknown scenario $scenario" ;;
esac
echo "PASS: $scenario"
