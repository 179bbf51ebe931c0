#!/usr/bin/env python3
"""Checks of a recording's parts as players and tools take them, for the playback scenario (Python standard
library, ffprobe and ffmpeg). The parts are given in their order.

    stream_checks.py playlist OUT.m3u8 PART...   writes a VOD playlist of the parts (#EXTINF from ffprobe)
    stream_checks.py copy DIR PART...            every part stream-copied into TS and MP4, and all of them
                                                 concatenated into DIR/all.mp4, with no word from ffmpeg
    stream_checks.py continuity PART...          increasing times, no hole or overlap at a part boundary
    stream_checks.py ids PART...                 every SPS and PPS has the id of the first one
    stream_checks.py played HLS.json CONTROL.json PART...   what the browser played (reports of player.html)
Each prints what it measured and exits with 1 when the check fails.
"""
import json
import math
import os
import re
import statistics
import subprocess
import sys

AAC_FRAME = 1024 * 90000 // 48000  # one AAC frame (1024 samples at 48 kHz) in 90 kHz ticks


def probe(args: list) -> dict:
    return json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", *args], capture_output=True,
                                     text=True, check=True, timeout=120).stdout)


def duration(part: str) -> float:
    return float(probe(["-show_entries", "format=duration", part])["format"]["duration"])


def video_frames(part: str) -> int:
    stream = probe(["-select_streams", "v:0", "-count_packets", "-show_entries", "stream=nb_read_packets", part])
    return int(stream["streams"][0]["nb_read_packets"])


def times(part: str) -> dict:
    """Per stream kind, the packets' times in 90 kHz ticks, in file order."""
    found = {"audio": [], "video": []}
    for p in probe(["-show_entries", "packet=codec_type,pts", part]).get("packets", []):
        if p.get("codec_type") in found and p.get("pts") not in (None, "N/A"):
            found[p["codec_type"]].append(int(p["pts"]))
    return found


def playlist(out: str, parts: list) -> bool:
    durations = [duration(p) for p in parts]
    lines = ["#EXTM3U", "#EXT-X-VERSION:3", f"#EXT-X-TARGETDURATION:{math.ceil(max(durations))}",
             "#EXT-X-PLAYLIST-TYPE:VOD"]
    for part, d in zip(parts, durations):
        lines += [f"#EXTINF:{d:.6f},", os.path.basename(part)]
    with open(out, "w") as f:
        f.write("\n".join(lines + ["#EXT-X-ENDLIST", ""]))
    print(f"playlist of {len(parts)} parts: {', '.join(f'{d:.3f}' for d in durations)} s, {sum(durations):.3f} s")
    return True


def ffmpeg_quiet(what: str, args: list) -> bool:
    """ffmpeg at level warning must say nothing and succeed."""
    run = subprocess.run(["ffmpeg", "-nostdin", "-v", "warning", "-y", *args], capture_output=True, text=True,
                         timeout=120)
    said = run.stderr.strip()
    if run.returncode or said:
        print(f"{what}: exit {run.returncode}: {said[:600]}")
        return False
    return True


def copy(folder: str, parts: list) -> bool:
    ok = True
    for i, part in enumerate(parts):
        for ext in ("ts", "mp4"):
            ok = ffmpeg_quiet(f"{os.path.basename(part)} copied into {ext.upper()}",
                              ["-i", part, "-c", "copy", os.path.join(folder, f"copy-{i}.{ext}")]) and ok
    # The parts joined byte for byte are one transport stream (continuity counters run on from part to part), as a
    # player fetching them in turn sees them.
    ok = ffmpeg_quiet("the parts concatenated into MP4",
                      ["-i", "concat:" + "|".join(parts), "-c", "copy", "-movflags", "+faststart",
                       os.path.join(folder, "all.mp4")]) and ok
    print(f"stream copy of {len(parts)} parts into TS and MP4, and of all into one MP4: {'clean' if ok else 'FAILED'}")
    return ok


def continuity(parts: list) -> bool:
    per_part = [times(p) for p in parts]
    empty = [f"{os.path.basename(part)} has no {kind}" for part, p in zip(parts, per_part) for kind in p if not p[kind]]
    if empty:
        print("; ".join(empty))
        return False
    ok = True
    for kind in ("video", "audio"):
        whole = [t for p in per_part for t in p[kind]]
        back = [i for i in range(1, len(whole)) if whole[i] <= whole[i - 1]]
        if back:
            print(f"{kind}: {len(whole)} packets, times do not increase at {len(back)} places, first at packet "
                  f"{back[0]}")
            ok = False
            continue
        # At each boundary, the step from a part's last packet to the next part's first is one interval: an AAC
        # frame's, or a video frame's, taken from the 16 steps around the boundary. A busy machine captures
        # frames unevenly (single steps of five times the median are seen inside parts at a load of 20), so a
        # video step may be as long as the longest of those, or twice their median; frames lost at a cut (two or
        # more on a quiet machine) or times shifted between parts make it longer; a step of zero or less overlaps.
        start = 0
        for i in range(len(parts) - 1):
            end = start + len(per_part[i][kind])
            step = whole[end] - whole[end - 1]
            around = [whole[j + 1] - whole[j] for j in range(max(0, end - 9), min(len(whole) - 1, end + 8))
                      if j != end - 1]
            interval = statistics.median(around) if kind == "video" else AAC_FRAME
            allowed = max(2 * interval, max(around)) if kind == "video" else 2 * interval
            good = 0 < step <= allowed
            print(f"{kind}: part {i} -> {i + 1}: step {step / 90:.1f} ms, interval {interval / 90:.1f} ms, at most "
                  f"{allowed / 90:.1f} ms{'' if good else ' (hole or overlap)'}")
            ok = ok and good
            start = end
    # Part 0 starts both streams within one frame interval: the sound from the start, the picture at its first
    # capture, some tens of milliseconds in. The capture starts unevenly on a busy machine (the offset was seen
    # at 0.8 of the median of the first steps), so the interval is the longest of the first 8 steps.
    first = per_part[0]
    v = first["video"][:9]
    interval = max([b - a for a, b in zip(v, v[1:])] or [0])
    offset = first["audio"][0] - first["video"][0]
    good = abs(offset) <= interval
    print(f"part 0 starts: audio {offset / 90:+.1f} ms from video, first frame intervals up to {interval / 90:.1f} ms"
          f"{'' if good else ' (too far apart)'}")
    return ok and good


def ids(parts: list) -> bool:
    """trace_headers prints each NAL unit's name and then its fields; SPS and PPS ids are read from their own
    units (slice headers name a PPS too)."""
    seen = {"sps": [], "pps": []}
    for part in parts:
        run = subprocess.run(["ffmpeg", "-nostdin", "-v", "info", "-i", part, "-map", "0:v:0", "-c", "copy",
                              "-bsf:v", "trace_headers", "-f", "null", "-"], capture_output=True, text=True,
                             timeout=120)
        unit = None
        for line in run.stderr.splitlines():
            if "Sequence Parameter Set" in line:
                unit = "sps"
            elif "Picture Parameter Set" in line:
                unit = "pps"
            elif re.search(r"\] (Slice Header|Supplemental Enhancement|Access Unit Delimiter|Packet: )", line):
                unit = None
            m = re.search(r"\b(seq|pic)_parameter_set_id\s+\S+\s+=\s+(\d+)", line)
            if m and unit == {"seq": "sps", "pic": "pps"}[m.group(1)]:
                seen[unit].append((os.path.basename(part), int(m.group(2))))
    ok = True
    for unit, found in seen.items():
        if not found:
            print(f"no {unit.upper()} found")
            ok = False
            continue
        others = sorted({(p, i) for p, i in found if i != found[0][1]})
        print(f"{len(found)} {unit.upper()}s, first id {found[0][1]}"
              + (f"; other ids: {others[:8]}" if others else ", all the same"))
        ok = ok and not others
    return ok


def played(hls_json: str, control_json: str, parts: list) -> bool:
    hls, control = (json.load(open(f)) for f in (hls_json, control_json))
    total = sum(duration(p) for p in parts)
    frames = sum(video_frames(p) for p in parts)
    problems = []
    for name, r in (("hls.js", hls), ("control", control)):
        print(f"{name} ({r.get('player')}): {r.get('why') or r.get('timedOut')}, played {r.get('currentTime')} s of "
              f"{total:.3f} s, frames decoded {r.get('decodedVideoFrames')} (total {r.get('totalVideoFrames')}, "
              f"dropped {r.get('droppedVideoFrames')}) of {frames}, audio {r.get('audioDecodedBytes')} bytes, "
              f"buffered {r.get('buffered')}, media error {r.get('mediaError')}"
              + (f", play() refused: {r['playRefused']}" if r.get("playRefused") else ""))
        for e in r.get("errors", []):
            print(f"  {name} error: {e}")
        for line in r.get("console", []):
            print(f"  {name} console: {line}")
        wrong = []
        if r.get("why") != "ended":
            wrong.append(f"did not play to its end ({r.get('why') or r.get('timedOut')})")
        if abs((r.get("currentTime") or 0) - total) > 0.05 * total:
            wrong.append(f"played {r.get('currentTime')} s of {total:.3f} s")
        # Frames the decoder produced: a busy machine may show fewer (dropped late) but decodes them all.
        if (r.get("decodedVideoFrames") or 0) < 0.9 * frames:
            wrong.append(f"decoded {r.get('decodedVideoFrames')} of {frames} video frames")
        if not r.get("audioDecodedBytes"):
            wrong.append("decoded no sound")
        if len(r.get("buffered") or []) != 1:
            wrong.append(f"buffered {r.get('buffered')}, not one range")
        # hls.js places the earlier of the first audio and video times at 0: the first range of both starts a
        # little later, Chromium waits at 0, and hls.js's gap controller seeks over the hole ("bufferSeekOverHole",
        # after a "bufferStalledError" when it waited long enough). That, before anything played, is hls.js at
        # work on any stream; any other error, or one later or fatal, is not.
        for e in r.get("errors", []):
            start = e.get("bufferStart")
            start_hole = (not e.get("fatal") and e.get("details") in ("bufferSeekOverHole", "bufferStalledError")
                          and start is not None and start < 1 and e.get("at", 99) <= start + 0.2)
            if not start_hole:
                wrong.append(f"error {e.get('details')}{' (fatal)' if e.get('fatal') else ''} at {e.get('at')} s")
        problems += [f"{name}: {w}" for w in wrong]
    for p in problems:
        print(p)
    if problems and any(p.startswith("control") for p in problems):
        print("the control (the same parts copied into MP4, in a plain <video>) fails too: a fault of the stream"
              if any(p.startswith("hls.js") for p in problems) else
              "the control fails where hls.js plays: the stream copy or the browser's own playback is at fault")
    elif problems:
        print("the control (the same parts copied into MP4, in a plain <video>) plays: hls.js trips on the parts")
    return not problems


def main() -> int:
    check, args = sys.argv[1], sys.argv[2:]
    ok = {"playlist": lambda: playlist(args[0], args[1:]), "copy": lambda: copy(args[0], args[1:]),
          "continuity": lambda: continuity(args), "ids": lambda: ids(args),
          "played": lambda: played(args[0], args[1], args[2:])}[check]()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
