# Checks where a recording was cut into parts, from its video packets in order as "PART,PTS,FLAGS" lines
# (PTS in 90 kHz ticks, FLAGS from ffprobe: K marks a keyframe). The sink cuts part i+1 at the first keyframe
# whose time is past (i+1) x 4 s, so each part starts with a keyframe at or past its boundary, and no part
# holds a keyframe past the next boundary (a missed cut); times increase from part to part too. Holds at any
# frame rate.
# With -v gaps=1, parts may be missing between two (lost whole to a failed write); the rest must still hold.
#   ffprobe ... -show_entries packet=pts,flags -of csv=p=0 PART | sed "s/^/$i,/" | awk -F, -f part_cuts.awk
BEGIN { current = -1; boundary = 4 * 90000 }
NF < 3 { next }
{
  part = $1; pts = $2; key = index($3, "K") > 0
  if (NR > 1 && pts <= last) {
    if (++backwards <= 3) printf "  part-%d.ts: %.1f ms after %.1f ms\n", part, pts / 90, last / 90
    bad = 1
  }
  last = pts
  if (part != current) {
    if (part != current + 1 && !(gaps && part > current)) { printf "  part-%d.ts follows part-%d.ts\n", part, current; bad = 1 }
    current = part; parts++
    if (!key) { printf "  part-%d.ts does not start with a keyframe\n", part; bad = 1 }
    if (pts < part * boundary) {
      printf "  part-%d.ts starts at %.0f ms, before %d s\n", part, pts / 90, part * 4; bad = 1
    }
    next
  }
  if (key && pts > (part + 1) * boundary) {
    printf "  part-%d.ts holds a keyframe at %.0f ms, past %d s: a cut is missing\n", part, pts / 90, (part + 1) * 4
    bad = 1
  }
  keys += key
}
END {
  if (parts == 0) { print "  no video packets"; exit 1 }
  if (!bad) printf "  %d part(s) cut at keyframes past 4-second boundaries; %d more keyframe(s) inside\n", parts, keys
  exit bad
}
