#!/usr/bin/env bash
# playback_e2e.sh SCENARIO BIN_DIR — a recording played back the way host applications play it.
#   hlsjs  the screen with a moving pattern and a 440 Hz tone through the microphone "Monitor of Null Output",
#          about 11 s with a pause in the middle (two parts or more). The parts, in a VOD playlist served from
#          127.0.0.1, play to their end in headless Chromium with hls.js (no error but the skip of a hole at the
#          start, the whole time played, the frames and the sound decoded, one buffered range); the same parts
#          copied into MP4 play in a plain <video> (the control: when it fails too, the stream is at fault). ffmpeg
#          stream-copies a part into TS and MP4 and all parts into one MP4 without a word; the parts' times run on
#          across boundaries; every SPS and PPS keeps the first one's id.
# Every check runs, and the scenario fails with the list of those that failed.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# One test environment for the whole scenario: the sound played here must reach the PulseAudio the daemon hears.
if [ "${VELL_WINE_ENV_ACTIVE:-}" != 1 ]; then
  exec "$here/../../scripts/wine-run.sh" bash "${BASH_SOURCE[0]}" "$@"
fi
source "$here/e2e_lib.sh" "$@"
checks="$here/stream_checks.py"
# The browser driver and hls.js, installed by scripts/bootstrap.sh for this package and lock file.
modules=${VELL_DEPS_CACHE:-/var/cache/vellrecorder}/npm/player
[ -x /usr/bin/chromium ] || fail "no /usr/bin/chromium: run scripts/bootstrap.sh"
[ -f "$modules/.complete" ] && cmp -s "$here/player/package-lock.json" "$modules/package-lock.json" ||
  fail "the player's npm packages in $modules are missing or not those of tests/e2e/player: run scripts/bootstrap.sh"
own_daemon
own_pulseaudio

failed=()
check() { # what command...
  local what=$1
  shift
  echo "== $what"
  "$@" || failed+=("$what")
}

# Serves FOLDER on a free port of 127.0.0.1 (the server says which); sets $port.
serve() { # folder
  (cd "$1" && exec python3 -u -m http.server --bind 127.0.0.1 0) > "$work/http.out" 2>&1 &
  stop_at_exit $!
  local deadline=$((SECONDS + 20))
  until port=$(sed -n 's/.* port \([0-9][0-9]*\) .*/\1/p' "$work/http.out" | head -n1) && [ -n "$port" ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the HTTP server did not start: $(cat "$work/http.out")"
    sleep 0.1
  done
}

# Plays player.html?QUERY in a fresh browser profile, within a watchdog of LIMIT seconds; the page's report
# goes to OUT.
play() { # query limit out
  timeout -k 5 $(($2 + 30)) env NODE_PATH="$modules/node_modules" \
    node "$here/player/play.js" "http://127.0.0.1:$port/player.html?$1" "$2" "$(mktemp -d "$work/profile.XXXX")" \
    > "$3" 2> "$3.err"
  local status=$?
  [ -s "$3" ] || echo "{\"why\": \"the browser driver gave no report (exit $status): $(tr -d '"\\\n' < "$3.err" |
    tail -c 300)\"}" > "$3"
}

case "$scenario" in
hlsjs)
  start_pattern
  play_tone 440
  out="$work/out"
  # About 11 s recorded, away from the 4 s cuts: a recording finished just past a cut ends in a part of a frame
  # or two, without sound (seen at 12 s), which is not what this scenario is about.
  host --timeout-ms 30000 "$(recorder_init "$out" "microphone=Monitor of Null Output")" 'expect recorder-initialized' \
    '{"type":"recorder-start"}' 'expect recorder-started' 'sleep 6000' '{"type":"pause"}' \
    'wait-for recorder-paused' 'sleep 1500' '{"type":"resume"}' 'wait-for recorder-resumed' 'sleep 5000' \
    '{"type":"finish"}' 'wait-for recorder-finished' > "$work/host.out" || fail "recording"
  grep -E '<- (hls-part-written|recorder-finished)' "$work/host.out"
  mapfile -t parts < <(reported_parts "$work/host.out")
  [ "${#parts[@]}" -ge 2 ] || fail "${#parts[@]} parts reported, expected two or more"
  site=$(dirname "${parts[0]}")
  for part in "${parts[@]}"; do
    [ -f "$part" ] && [ "$(dirname "$part")" = "$site" ] || fail "reported part $part is not in $site"
  done

  check "parameter-set ids" python3 "$checks" ids "${parts[@]}"
  check "continuity across parts" python3 "$checks" continuity "${parts[@]}"
  check "stream copy" python3 "$checks" copy "$work" "${parts[@]}"

  python3 "$checks" playlist "$site/playlist.m3u8" "${parts[@]}" || fail "playlist"
  cp "$here/player/player.html" "$modules/node_modules/hls.js/dist/hls.min.js" "$site/"
  # The control: the parts concatenated and copied into MP4 (by the stream copy above).
  [ -f "$work/all.mp4" ] && cp "$work/all.mp4" "$site/"
  serve "$site"
  # Playback takes as long as the recording; a busy machine and start-up add to it.
  limit=$(awk -F'[:,]' '/^#EXTINF:/ { s += $2 } END { printf "%d", 3 * s + 30 }' "$site/playlist.m3u8")
  play "hls=playlist.m3u8" "$limit" "$work/hls.json"
  play "src=all.mp4" "$limit" "$work/control.json"
  check "playback in Chromium" python3 "$checks" played "$work/hls.json" "$work/control.json" "${parts[@]}"
  ;;
*) fail "unknown scenario $scenario" ;;
esac
[ "${#failed[@]}" = 0 ] || fail "$(printf '%s; ' "${failed[@]}")"
echo "PASS: $scenario"
