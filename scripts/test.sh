#!/usr/bin/env bash
# Builds and runs every test on a fresh Debian 12 machine (as root):
#   native tests (plain and with AddressSanitizer + UndefinedBehaviorSanitizer), the fuzz targets for a fixed
#   number of inputs, and the Windows build's tests under Wine.
# Ends with one line "N passed, M failed, K skipped" (CTest test counts, plus one per fuzz target). A skipped
# test is not a passed one: CTest counts it among the passed, and it is taken out of them here.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
FUZZ_RUNS=${VELL_FUZZ_RUNS:-100000}
passed=0
failed=0
skipped=0
failures=()

# Each section says when it began, in seconds since the start: where a slow run spent its time.
section() { printf '\n==== %s (at %d s)\n' "$*" "$SECONDS"; }

# Adds a CTest run's counts to the totals. CTest's summary line counts skipped tests as passed and leaves
# disabled ones out; both are listed under "The following tests did not run:".
count_ctest() { # name log status
  local line total bad not_run disabled
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$2" | tail -n1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); failures+=("$1 (no test result)"); return
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  not_run=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$2")
  disabled=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Disabled\)$' "$2")
  passed=$((passed + total - bad - not_run)); failed=$((failed + bad)); skipped=$((skipped + not_run + disabled))
  [ "$bad" = 0 ] && [ "$3" = 0 ] || failures+=("$1")
}

run_ctest() { # name ctest-args...
  local name=$1 log status
  shift
  log=$(mktemp)
  "$@" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  count_ctest "$name" "$log" "$status"
  rm -f "$log"
}

build() { # preset
  section "build: $1"
  cmake --preset "$1" -Wno-dev >/dev/null && cmake --build --preset "$1" -j"$(nproc)" ||
    { failed=$((failed + 1)); failures+=("build $1"); return 1; }
}

section "bootstrap"
bash scripts/bootstrap.sh || { echo "bootstrap failed"; echo "0 passed, 1 failed, 0 skipped"; exit 1; }
source scripts/compiler-cache.sh

build native && { section "native tests"; run_ctest native ctest --preset native; }
# The fuzz targets' tree builds every native test with AddressSanitizer and UndefinedBehaviorSanitizer too: its
# tests are the sanitizer run, one build instead of two (the native-asan preset is the same run with GCC). That tree
# is optimised at -O1, as the sanitizers and libFuzzer advise, asserts kept: the same 100,000 inputs per target
# take 14 s instead of 100 s to 140 s at -O0.
if build fuzz; then
  section "native tests with sanitizers"
  run_ctest native-sanitizers ctest --test-dir build/fuzz --output-on-failure
  for target in build/fuzz/tests/fuzz/*_fuzz; do
    [ -x "$target" ] || continue
    section "fuzz: $(basename "$target") ($FUZZ_RUNS inputs)"
    corpus=$(mktemp -d)
    log=$(mktemp)
    "$target" -runs="$FUZZ_RUNS" -max_len=32768 -print_final_stats=1 "$corpus" tests/fuzz/corpus >"$log" 2>&1
    status=$?
    grep -E 'Done [0-9]+ runs|stat::number_of_executed_units|ERROR|SUMMARY' "$log"
    if [ "$status" = 0 ]; then
      passed=$((passed + 1))
    else
      tail -n 40 "$log"; failed=$((failed + 1)); failures+=("$target")
    fi
    rm -f "$log"
    rm -rf "$corpus"
  done
fi
# Two tests at a time, each on a desktop of its own (X display, sound server, Wine prefix: scripts/wine-run.sh):
# most of them wait on real time (recordings, time-outs) rather than on the processor.
desktops=${VELL_TEST_DESKTOPS:-2}
desktop_resources() { # count: the resources CTest hands out, one "desktops" slot per desktop
  local k ids=()
  for ((k = 0; k < $1; k++)); do ids+=("{\"id\": \"$k\", \"slots\": 1}"); done
  local IFS=,
  printf '{"version": {"major": 1, "minor": 0}, "local": [{"desktops": [%s]}]}\n' "${ids[*]}"
}
build windows && {
  section "Windows tests under Wine ($desktops at a time)"
  desktop_resources "$desktops" > build/windows/desktops.json
  run_ctest windows env VELL_WINE_DESKTOPS="$desktops" scripts/wine-run.sh ctest --preset windows -j"$desktops" \
    --resource-spec-file "$root/build/windows/desktops.json"
}

section "summary"
for f in "${failures[@]}"; do echo "failed: $f"; done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
