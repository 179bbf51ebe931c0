#!/usr/bin/env bash
# injected_daemon_e2e.sh BIN_DIR — the real daemon, started by the host CLI with the duplication stand-in's DLL
# loaded into it before its main: the DLL is in (its line is in the daemon's log) and the daemon serves as
# usual; a DLL that cannot be loaded stops the start instead of running the daemon without it.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../e2e/e2e_lib.sh" injected_daemon "$1"

host --inject-dll "$(winpath "$bin/vell-duplication.dll")" \
  '{"type":"check-mic-permissions"}' 'wait-for check-mic-permissions' \
  'expect-log vell-duplication: DuplicateOutput stand-in armed on' > "$work/host.out"
status=$?
cat "$work/host.out"
[ "$status" = 0 ] || fail "daemon with the stand-in's DLL"

host --inject-dll 'Z:\nowhere\missing.dll' '{"type":"check-mic-permissions"}' > "$work/missing.out" 2>&1
status=${PIPESTATUS[0]}
cat "$work/missing.out"
[ "$status" = 2 ] || fail "a DLL that cannot be loaded: host exit status $status, expected 2"
grep -q 'daemon started' "$work/missing.out" && fail "the daemon was started without its DLL"
echo "PASS"
