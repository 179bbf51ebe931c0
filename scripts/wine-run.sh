#!/usr/bin/env bash
# Runs a command inside the project's Windows test environment:
#   a Wine prefix of our own, Xvfb at 1920x1080, PulseAudio with a null sink, WINEDEBUG=-all.
# VELL_SCREEN_SIZE=WxH asks for another screen size: a display already at $DISPLAY is used only when its screen
# has that size, else an Xvfb of that size is started (benchmarks that sweep sizes).
# A command ending in .exe is run through wine64; anything else (ctest, a test script) runs as is with the
# environment set, and nested calls (CTest's emulator) reuse it. Only what this call started is stopped,
# by process id, and the prefix's wineserver is shut down at the end.
#
#   scripts/wine-run.sh build/windows/tools/hostcli/vell-host.exe --help
#   scripts/wine-run.sh ctest --preset windows
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$WINE" ] || WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)

run_inner() {
  case "${1:-}" in
    *.exe|*.EXE) exec "$WINE" "$@" ;;
    *) exec "$@" ;;
  esac
}

# With several desktops (VELL_WINE_DESKTOPS=N, for `ctest -jN` with the desktop resources scripts/test.sh writes), CTest
# hands each test one desktop (CTEST_RESOURCE_GROUP_0_DESKTOPS="id:K,slots:1"): its own Xvfb, PulseAudio and Wine
# prefix, so that two tests never see each other's windows, sound or named pipes. The first nested call of a test
# moves to that desktop; the calls nested in it inherit it. A server a test chose itself (PULSE_RUNTIME_PATH in
# its CTest environment) is kept.
enter_desktop() {
  local group=${CTEST_RESOURCE_GROUP_0_DESKTOPS:-} id var
  [ -n "$group" ] || return 0
  unset CTEST_RESOURCE_GROUP_0_DESKTOPS CTEST_RESOURCE_GROUP_COUNT CTEST_RESOURCE_GROUP_0
  id=$(sed -E 's/^id:([0-9]+),.*/\1/' <<<"$group")
  var=VELL_DESKTOP_$id
  [ -n "${!var:-}" ] || { echo "[wine-run] desktop $id was not set up (VELL_WINE_DESKTOPS)" >&2; exit 1; }
  local display prefix pulse
  IFS='|' read -r display prefix pulse <<<"${!var}"
  export DISPLAY=$display WINEPREFIX=$prefix
  if [ "${PULSE_RUNTIME_PATH:-}" = "${VELL_DESKTOP_PULSE:-}" ]; then
    if [ -n "$pulse" ]; then export PULSE_RUNTIME_PATH=$pulse; else unset PULSE_RUNTIME_PATH; fi
  fi
  export VELL_DESKTOP_PULSE=$pulse
}

if [ "${VELL_WINE_ENV_ACTIVE:-}" = 1 ]; then
  enter_desktop
  run_inner "$@"
fi

export WINEPREFIX=${VELL_WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
started_pids=()
started_prefixes=()

log() { [ -n "${VELL_WINE_QUIET:-}" ] || printf '[wine-run] %s\n' "$*" >&2; }

screen_size=${VELL_SCREEN_SIZE:-1920x1080}
case $screen_size in
  [1-9]*x[1-9]*) ;;
  *) echo "VELL_SCREEN_SIZE must be WIDTHxHEIGHT, not $screen_size" >&2; exit 2 ;;
esac

# Without VELL_SCREEN_SIZE any display will do, as before; with it, only one whose screen has that size.
x_is_up() {
  [ -n "${DISPLAY:-}" ] || return 1
  if [ -z "${VELL_SCREEN_SIZE:-}" ]; then
    xdpyinfo >/dev/null 2>&1
  else
    local info
    info=$(xdpyinfo 2>/dev/null) && [[ $info =~ dimensions:\ *${screen_size}\ pixels ]]
  fi
}

start_xvfb() {
  x_is_up && return 0
  local n
  for n in $(seq 90 130); do
    [ -e "/tmp/.X${n}-lock" ] && continue
    Xvfb ":$n" -screen 0 "${screen_size}x24" -nolisten tcp >/dev/null 2>&1 &
    local pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 1 50); do
      x_is_up && { started_pids+=("$pid"); log "Xvfb $DISPLAY (pid $pid)"; return 0; }
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null
  done
  log "could not start Xvfb"
  return 1
}

start_pulse() {
  pactl info >/dev/null 2>&1 && return 0
  pulseaudio --daemonize=no --exit-idle-time=-1 -n --log-target=stderr --log-level=error \
    --load="module-null-sink sink_name=vsink" --load=module-native-protocol-unix >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 1 50); do
    pactl info >/dev/null 2>&1 && { started_pids+=("$pid"); log "pulseaudio (pid $pid)"; return 0; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  log "pulseaudio did not start; audio endpoints will be missing"
}

prepare_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "creating Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1
    "$WINESERVER" -w
  fi
  # A new prefix reports Windows 7; the daemon targets Windows 10, and its version gates should see that.
  if [ ! -f "$WINEPREFIX/.vell-win10" ]; then
    "$WINE" winecfg -v win10 >/dev/null 2>&1 && "$WINESERVER" -w && touch "$WINEPREFIX/.vell-win10"
  fi
  # A program that crashes ends at once, its status a failure: Wine's debugger, started by default on a crash,
  # kept a crashed test process alive until CTest's time-out (300 s) instead.
  if [ ! -f "$WINEPREFIX/.vell-no-debugger" ]; then
    "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d false \
      /f >/dev/null 2>&1 && "$WINESERVER" -w && touch "$WINEPREFIX/.vell-no-debugger"
  fi
  register_standins
}

# Stand-ins for system components Wine lacks (standins/): every COM server DLL that a build put in its
# standins/com folder is registered in the prefix, and again whenever it was rebuilt after the last
# registration. Nothing happens when no stand-in was built (native-only runs).
register_standins() {
  local stamp="$WINEPREFIX/.vell-standins" dll failed=0
  for dll in "$root"/build/*/standins/com/*.dll; do
    [ -f "$dll" ] || continue
    [ -f "$stamp" ] && [ ! "$dll" -nt "$stamp" ] && continue
    if "$WINE" regsvr32 /s "Z:${dll//\//\\}" >/dev/null 2>&1; then
      log "registered stand-in $(basename "$dll")"
    else
      log "could not register stand-in $dll"
      failed=1
    fi
  done
  # A failed registration is tried again on the next run.
  [ "$failed" = 0 ] && touch "$stamp"
  return 0
}

cleanup() {
  local prefix
  for prefix in "${started_prefixes[@]}"; do WINEPREFIX=$prefix "$WINESERVER" -k >/dev/null 2>&1; done
  local pid
  for pid in "${started_pids[@]}"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# One desktop: the X display, sound server and prefix of the current environment.
set_up_desktop() {
  start_xvfb || exit 1
  start_pulse
  prepare_prefix
  # Persistent while we run, so each process start skips the server start. Wine's own service processes then
  # live as long as the server: start them here with no terminal, or they would hold the output pipe of
  # the first test that started them and CTest would wait for it forever. A server still running (the stand-ins'
  # registration starts one) refuses the option and ends a few seconds after its last client, between two tests:
  # a test starting then met "recvmsg: Connection reset by peer". It is waited for first.
  "$WINESERVER" -w
  "$WINESERVER" -p >/dev/null 2>&1
  started_prefixes+=("$WINEPREFIX")
  "$WINE" cmd /c exit </dev/null >/dev/null 2>&1
}

desktops=${VELL_WINE_DESKTOPS:-1}
# Several desktops share no sound server, the first included.
if [ "$desktops" -gt 1 ] && [ -z "${PULSE_RUNTIME_PATH:-}" ]; then
  export PULSE_RUNTIME_PATH="$WINEPREFIX.pulse"
  mkdir -p "$PULSE_RUNTIME_PATH"
fi
set_up_desktop
export VELL_DESKTOP_0="${DISPLAY}|${WINEPREFIX}|${PULSE_RUNTIME_PATH:-}" VELL_DESKTOP_PULSE=${PULSE_RUNTIME_PATH:-}
first=("$DISPLAY" "$WINEPREFIX" "${PULSE_RUNTIME_PATH:-}")
for ((k = 1; k < desktops; k++)); do
  # Each further desktop gets a new display, a sound server of its own and a prefix beside the first.
  export DISPLAY= WINEPREFIX="${first[1]}-desktop$k" PULSE_RUNTIME_PATH="${first[1]}-desktop$k.pulse"
  mkdir -p "$PULSE_RUNTIME_PATH"
  set_up_desktop
  export "VELL_DESKTOP_$k=${DISPLAY}|${WINEPREFIX}|${PULSE_RUNTIME_PATH}"
done
export DISPLAY=${first[0]} WINEPREFIX=${first[1]}
if [ -n "${first[2]}" ]; then export PULSE_RUNTIME_PATH=${first[2]}; else unset PULSE_RUNTIME_PATH; fi
export VELL_WINE_ENV_ACTIVE=1
case "${1:-}" in
  *.exe|*.EXE) "$WINE" "$@" ;;
  *) "$@" ;;
esac
status=$?
exit $status
