#!/usr/bin/env bash
# How the software screen session's cost grows with the screen: scripts/bench-swsession.sh at each screen size,
# the virtual screen, the moving picture and the recording all at that size, the session and the peer in turns.
# Prints per size the medians of delivered fps and CPU ms per delivered frame of both, the peer's CPU per frame
# over the session's (how far ahead the session is), and each one's CPU per frame against 1080p over the pixels
# against 1080p (1.00 = cost linear in pixels), with the load average each figure was taken under.
#   scripts/bench-swsession-sizes.sh [BUILD_DIR] [SECONDS]
# Environment: VELL_SWEEP_SIZES="WxH ..." (default 1280x720 1920x1080 2560x1440 3840x2160), and those of
# bench-swsession.sh (VELL_BENCH_RUNS, VELL_BENCH_NO_PEER, ...). Each size runs in a Wine environment of its own
# (scripts/wine-run.sh with VELL_SCREEN_SIZE), so this script must not itself run inside one.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
[ "${VELL_WINE_ENV_ACTIVE:-}" != 1 ] || { echo "run this outside scripts/wine-run.sh"; exit 2; }
build=$(realpath "${1:-$root/build/windows}")
seconds=${2:-20}
sizes=${VELL_SWEEP_SIZES:-1280x720 1920x1080 2560x1440 3840x2160}
logs=$(mktemp -d /tmp/vell-swsession-sizes.XXXXXX)
echo "logs of each size: $logs"

# The peer encodes at the bit rate the session picks for the size (encodersettings.cpp), so that both spend
# their bits alike.
peer_bitrate() {
  case $1 in
    1280x720) echo 3M ;; 1920x1080) echo 5M ;; 2560x1440) echo 6M ;; 3840x2160) echo 15M ;; *) echo 5M ;;
  esac
}

summary="$logs/summary.txt"
: >"$summary"
for size in $sizes; do
  echo "== $size (load $(cut -d' ' -f1-3 /proc/loadavg))"
  VELL_SCREEN_SIZE=$size VELL_PEER_BITRATE=$(peer_bitrate "$size") \
    "$here/bench-swsession.sh" "$build" "$seconds" >"$logs/$size.txt" 2>"$logs/$size.err" ||
    { echo "  failed: see $logs/$size.txt and $logs/$size.err"; continue; }
  sed -n '/^---- medians/,$p' "$logs/$size.txt" | sed 's/^/  /'
  grep -E '^  \[session\] stages alone( \(|: CPU ms per frame \(the thread)' "$logs/$size.err" |
    sed 's/^  \[session\]/ /' || true
  # "SIZE WHO FPS CPU_MS LOAD" from the median lines.
  awk -v size="$size" '/^---- medians/ { on = 1; next }
    on && ($1 == "session" || $1 == "peer") {
      for (i = 1; i <= NF; i++) if ($i == "load") l = $(i + 1)
      sub(/[ (].*/, "", l); print size, $1, $2, $5, l }' "$logs/$size.txt" >>"$summary"
done

echo "---- per size: delivered fps, CPU ms per delivered frame (load average), peer's CPU per frame over the" \
  "session's, CPU per frame over 1080p's / pixels over 1080p's"
awk 'function px(s,   d) { split(s, d, "x"); return d[1] * d[2] }
  { fps[$1, $2] = $3; cpu[$1, $2] = $4; load[$1, $2] = $5; if (!($1 in seen)) { seen[$1] = 1; order[n++] = $1 } }
  function growth(size, who) {
    if (!(("1920x1080", who) in cpu) || cpu["1920x1080", who] <= 0) return "   -"
    return sprintf("%4.2f", (cpu[size, who] / cpu["1920x1080", who]) / (px(size) / px("1920x1080"))) }
  END {
    printf "%-10s %-30s %-30s %-10s %-9s %-9s\n", "size", "session", "peer", "peer/ours", "ours/lin", "peer/lin"
    for (i = 0; i < n; i++) {
      s = order[i]
      ours = sprintf("%5.1f fps %7.2f ms (load %s)", fps[s, "session"], cpu[s, "session"], load[s, "session"])
      theirs = ((s, "peer") in cpu) ? sprintf("%5.1f fps %7.2f ms (load %s)", fps[s, "peer"], cpu[s, "peer"],
                                              load[s, "peer"]) : "-"
      ratio = ((s, "peer") in cpu && cpu[s, "session"] > 0) ? sprintf("%4.2f", cpu[s, "peer"] / cpu[s, "session"]) : "-"
      printf "%-10s %-30s %-30s %-10s %-9s %-9s\n", s, ours, theirs, ratio, growth(s, "session"), growth(s, "peer")
    } }' "$summary"
