#!/usr/bin/env python3
"""Measures audio/video sync in a recording of flashes and beeps made at the same instants.

The picture is dark with short bright flashes; the sound is silent with short beeps. Each flash is the first
frame brighter than half-way between the darkest and brightest frames after a dark one (so its true instant lies
between the previous frame and this one); each beep is the middle of the first 2 ms window whose peak is within
12 dB of the loudest after at least a quarter second of quiet (within 1 ms of the onset). A beep belongs to the
nearest flash within --max-match-ms (keep it under half the period). The offset is beep minus flash: positive
when the sound comes later than the picture.

    avsync_analyse.py [--json] [--max-match-ms MS] [--stimulus LOG] [--window-s S [--samples FILE]] FOLDER_OR_TS...

With --stimulus, the output of vell-avsync-stimulus (which hears each beep at the monitor some time after its
flash) is read too, and each beep's own latency is taken off its offset: what is left is the recorder's own.

A folder stands for its part-N.ts files in order; several files are read as one stream (a recording's parts
carry one continuous time line). Prints each event, the mean offset and its change over the recording (least
squares), or one JSON object with --json. With the stimulus's painted times, the own offset is split into its
sound and picture sides, each measured against the performance counter, so that a change can be told apart.
With --window-s, a line per window of that many seconds of the recording: frames, the own offset there and its
change; with --samples (lines "seconds-since-the-start CPU-seconds resident-kB" of the recorder's process), also
its CPU per frame and memory, so that a long recording shows whether anything grows.
Only the Python standard library and ffmpeg are used.
"""
import argparse
import bisect
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile

AUDIO_WINDOW = 96  # samples of each measured window at 48 kHz: 2 ms
QUIET_BEFORE_BEEP_S = 0.25


def _frames(ts: str, stream: str, filters: str, key: str) -> list:
    """(time in seconds, value) of every frame of one stream after the given filters, on the stream's own clock."""
    run = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-copyts", "-i", ts, "-map", f"0:{stream}:0", "-fps_mode", "passthrough",
         "-" + ("v" if stream == "v" else "a") + "f", f"{filters},{'' if stream == 'v' else 'a'}metadata=mode=print:"
         f"key={key}:file=-", "-f", "null", "-"], capture_output=True, text=True)
    if run.returncode != 0:  # e.g. a declared stream that carries nothing
        print(f"no {'picture' if stream == 'v' else 'sound'} decoded: {run.stderr.strip()[-300:]}", file=sys.stderr)
        return []
    out = run.stdout
    rows, pts = [], None
    for line in out.splitlines():
        m = re.match(r"frame:\d+\s+pts:(-?\d+)\s+pts_time:(\S+)", line)
        if m:
            pts = (int(m.group(1)), float(m.group(2)))
        elif line.startswith(key + "=") and pts is not None:
            value = line.split("=", 1)[1]
            rows.append((pts, float("-inf") if value in ("-inf", "nan") else float(value)))
    if not rows:
        return []
    # pts_time is printed with six significant digits, too coarse after a few minutes: take the exact clock
    # rate from the largest pts and convert every pts with it.
    biggest = max(rows, key=lambda r: abs(r[0][0]))[0]
    rate = round(biggest[0] / biggest[1]) if biggest[1] else 1
    return [(p / rate if rate else t, v) for (p, t), v in rows]


def flashes(ts: str, extent: dict) -> list:
    """(first bright frame time, previous frame time) of every flash."""
    # A small copy of each picture has the same mean brightness and costs far less to measure.
    luma = _frames(ts, "v", "scale=192:-2,signalstats", "lavfi.signalstats.YAVG")
    if not luma:
        return []
    extent["video_s"] = [luma[0][0], luma[-1][0]]
    extent["luma"] = luma
    low, high = min(v for _, v in luma), max(v for _, v in luma)
    if high - low < 40:  # no flash at all: a steady picture
        return []
    middle = (low + high) / 2
    found, dark, previous = [], False, None
    for t, v in luma:
        if v <= middle:
            dark = True
        elif dark:
            found.append((t, previous))
            dark = False
        previous = t
    return found


def beeps(ts: str, extent: dict) -> list:
    """Onset time of every beep."""
    peaks = _frames(ts, "a", f"asetnsamples=n={AUDIO_WINDOW}:p=0,astats=metadata=1:reset=1:"
                    "measure_perchannel=none:measure_overall=Peak_level", "lavfi.astats.Overall.Peak_level")
    if peaks:
        extent["audio_s"] = [peaks[0][0], peaks[-1][0] + AUDIO_WINDOW / 48000]
    loud = [v for _, v in peaks if v != float("-inf")]
    if not loud or max(loud) < -40:
        return []
    threshold = max(loud) - 12
    found, quiet_since = [], None
    for t, v in peaks:
        if v < threshold:
            if quiet_since is None:
                quiet_since = t
        else:
            if quiet_since is not None and t - quiet_since >= QUIET_BEFORE_BEEP_S:
                # The onset lies somewhere in this window: its middle is within a millisecond of it.
                found.append(t + AUDIO_WINDOW / 48000 / 2)
            quiet_since = None
    return found


def fit(points: list) -> tuple:
    """Least-squares slope and intercept of (x, y) points; slope 0 for fewer than two distinct x."""
    n = len(points)
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    slope = sum((x - mx) * (y - my) for x, y in points) / sxx if sxx else 0.0
    return slope, my - slope * mx


def read_stimulus_log(path: str) -> dict:
    """Per flash index, how long after its flash the stimulus heard its beep (the stimulus's own latency)."""
    text = open(path, encoding="utf-8", errors="replace").read().replace("\r", "")
    return {int(k): float(ms) for k, ms in re.findall(r"^beep (\d+) heard (-?[0-9.]+) ms after its flash", text, re.M)}


def read_stimulus_period(path: str) -> float:
    """The stimulus's flash period in seconds, from its ready line (2 s for a log that does not give it)."""
    text = open(path, encoding="utf-8", errors="replace").read()
    found = re.search(r"^ready:.* one every (\d+) ms", text, re.M)
    return int(found.group(1)) / 1000 if found else 2.0


def read_stimulus_flashes(path: str) -> dict:
    """Per flash index, when the stimulus painted it, in seconds on the performance counter (logs that give it)."""
    text = open(path, encoding="utf-8", errors="replace").read()
    return {int(k): float(ms) / 1000
            for k, ms in re.findall(r"^flash (\d+) painted .* at (-?[0-9.]+) ms\r?$", text, re.M)}


def pair_by_clock(matched: list, flash_times: dict) -> list:
    """(event, stimulus index) pairs found by time: a recording's flash times are the painted times (performance
    counter) plus one constant and up to a frame or so. The constant is the one that puts the most flashes within
    60 ms of a painted one, tried from each of the first few events against every painted flash."""
    times = sorted((t, k) for k, t in flash_times.items())
    painted = [t for t, _ in times]

    def nearest(t):
        i = bisect.bisect_left(painted, t)
        near = [j for j in (i - 1, i) if 0 <= j < len(painted)]
        return min(near, key=lambda j: abs(painted[j] - t)) if near else None

    def pairs(shift, within):
        found = []
        for e in matched:
            j = nearest(e["flash_s"] - shift)
            if j is not None and abs(painted[j] - (e["flash_s"] - shift)) <= within:
                found.append((e, times[j][1]))
        return found

    shifts = [e["flash_s"] - t for e in matched[:5] for t in painted]
    best = max(shifts, key=lambda c: len(pairs(c, 0.06)), default=None)
    if best is None:
        return []
    found = pairs(best, 0.06)
    shift = sorted(e["flash_s"] - flash_times[k] for e, k in found)[len(found) // 2]
    return pairs(shift, 0.3)


def split_offsets(matched: list, heard: dict, flash_times: dict) -> tuple:
    """The own offset's two sides, each against the performance counter: (flash time, ms) of the sound (a beep's
    recorded time less the time the stimulus heard it) and of the picture (a flash's recorded time less its painted
    time). A recording's times are the counter's less one constant, unknown here: both sides are given less the
    picture's median, so only their changes (and the sound's offset against the picture's median) mean anything."""
    pairs = [(e, k) for e, k in pair_by_clock(matched, flash_times) if k in heard]
    if not pairs:
        return [], []
    shift = sorted(e["flash_s"] - flash_times[k] for e, k in pairs)[len(pairs) // 2]
    sound = [(e["flash_s"], (e["beep_s"] - flash_times[k] - heard[k] / 1000 - shift) * 1000) for e, k in pairs]
    picture = [(e["flash_s"], (e["flash_s"] - flash_times[k] - shift) * 1000) for e, k in pairs]
    return sound, picture


def own_offsets(matched: list, heard: dict, period_s: float = 2.0, flash_times: dict = None) -> list:
    """(flash time, offset minus that beep's own stimulus latency) of each matched event that has one.

    With the painted times of the flashes, each event is paired with its flash by time. Without (older logs), the
    recording holds flashes first..last of the stimulus's, one period apart, but which is first is not known: it is
    the index that makes the differences steadiest (the latency changes from beep to beep) among those that pair
    nearly every event. That pairing goes wrong where the stimulus's sound underran and its period stretched."""
    if not matched or not heard:
        return []
    if flash_times:
        return [(e["flash_s"], e["offset_ms"] - heard[k]) for e, k in pair_by_clock(matched, flash_times) if k in heard]

    def index(e, first):
        return first + round((e["flash_s"] - matched[0]["flash_s"]) / period_s)

    def pairs(first):
        return [(e["flash_s"], e["offset_ms"] - heard[index(e, first)]) for e in matched if index(e, first) in heard]

    def spread(points):
        mean = sum(y for _, y in points) / len(points)
        return sum((y - mean) ** 2 for _, y in points) / len(points)

    # Only alignments that pair (nearly) every event: a short stretch of a drifting recording would look steadier.
    candidates = [pairs(first) for first in range(max(heard) + 1)]
    most = max(len(c) for c in candidates)
    candidates = [c for c in candidates if c and len(c) * 10 >= most * 9 and len(c) * 2 >= len(matched)]
    return min(candidates, key=spread) if candidates else []


def summary(points: list) -> dict:
    """Mean, median, range and least-squares change of (time, offset) points."""
    offsets = sorted(y for _, y in points)
    slope, _ = fit(points)
    span = points[-1][0] - points[0][0]
    return {"mean_offset_ms": sum(offsets) / len(offsets), "median_offset_ms": offsets[len(offsets) // 2],
            "min_offset_ms": offsets[0], "max_offset_ms": offsets[-1], "span_s": span,
            "drift_ms_per_min": slope * 60, "drift_over_span_ms": slope * span}


def beep_context(luma: list, beep_s: float, max_match_ms: float) -> dict:
    """The frames within the matching window around a beep, and the longest gap between frames there."""
    window = max_match_ms / 1000
    times = [t for t, _ in luma]
    lo = max(0, bisect.bisect_left(times, beep_s - window) - 1)
    hi = bisect.bisect_right(times, beep_s + window) + 1
    near = luma[lo:hi]
    gaps = [(b[0] - a[0]) * 1000 for a, b in zip(near, near[1:])]
    return {"beep_s": beep_s, "frames": [[round(t, 3), round(v, 1)] for t, v in near],
            "longest_gap_ms": max(gaps) if gaps else None}


def analyse(ts: str, max_match_ms: float, heard: dict = None, period_s: float = 2.0, flash_times: dict = None) -> dict:
    extent = {"video_s": None, "audio_s": None}  # first and last frame times of each stream
    flash_list, beep_list = flashes(ts, extent), beeps(ts, extent)
    events, used = [], set()
    for bright, before in flash_list:
        near = [(abs(b - bright), i) for i, b in enumerate(beep_list) if i not in used]
        near = [(d, i) for d, i in near if d * 1000 <= max_match_ms]
        if not near:
            events.append({"flash_s": bright, "beep_s": None})
            continue
        i = min(near)[1]
        used.add(i)
        events.append({"flash_s": bright, "beep_s": beep_list[i], "offset_ms": (beep_list[i] - bright) * 1000,
                       "frame_gap_ms": (bright - before) * 1000 if before is not None else None})
    matched = [e for e in events if e["beep_s"] is not None]
    luma = extent.pop("luma", [])
    result = {"flashes": len(flash_list), "beeps": len(beep_list), "matched": len(matched),
              "unmatched_flashes": [e["flash_s"] for e in events if e["beep_s"] is None],
              "unmatched_beeps": [b for i, b in enumerate(beep_list) if i not in used], "events": events, **extent}
    # What the picture showed where an unmatched beep's flash should be: a frame gap longer than a flash, a flash
    # too faint, or frames that never changed.
    result["beep_contexts"] = [beep_context(luma, b, max_match_ms) for b in result["unmatched_beeps"]]
    result["_frame_s"] = [t for t, _ in luma]  # for the windows; not printed
    if matched:
        gaps = [e["frame_gap_ms"] for e in matched if e["frame_gap_ms"] is not None]
        result.update(summary([(e["flash_s"], e["offset_ms"]) for e in matched]))
        result["mean_frame_gap_ms"] = sum(gaps) / len(gaps) if gaps else None
    if heard:
        values = list(heard.values())
        result["stimulus_latency_ms"] = {"mean": sum(values) / len(values), "min": min(values), "max": max(values),
                                         "beeps": len(values)}
        own = own_offsets(matched, heard, period_s, flash_times)
        if own:
            result["own"] = {"beeps": len(own), "offsets_ms": [y for _, y in own], "points": own, **summary(own)}
        sound, picture = split_offsets(matched, heard, flash_times) if flash_times else ([], [])
        if sound:
            result["sound_side"], result["picture_side"] = summary(sound), summary(picture)
    return result


def parts_of(path: pathlib.Path) -> list:
    if path.is_dir():
        return sorted(path.glob("part-*.ts"), key=lambda p: int(re.findall(r"\d+", p.name)[-1]))
    return [path]


def report_sides(result: dict) -> None:
    for side, what in (("sound_side", "sound (a beep's recorded time less when the stimulus heard it)"),
                       ("picture_side", "picture (a flash's recorded time less when it was painted)")):
        r = result[side]
        print(f"own offset's {what}: median {r['median_offset_ms']:+.1f} ms, change {r['drift_over_span_ms']:+.1f} ms "
              f"over {r['span_s']:.0f} s")


def report(result: dict) -> None:
    for e in result["events"]:
        if e["beep_s"] is None:
            print(f"flash {e['flash_s']:9.3f} s  no beep")
        else:
            gap = e["frame_gap_ms"]
            print(f"flash {e['flash_s']:9.3f} s  beep {e['beep_s']:9.3f} s  offset {e['offset_ms']:+7.1f} ms"
                  + (f"  (previous frame {gap:.0f} ms before)" if gap is not None else ""))
    for c in result.get("beep_contexts", []):
        gap = c["longest_gap_ms"]
        print(f"beep {c['beep_s']:9.3f} s  no flash; frames near it (time s, mean luma): "
              + " ".join(f"{t:.3f}:{v:.0f}" for t, v in c["frames"][:24])
              + (f"; longest gap {gap:.0f} ms" if gap is not None else ""))
    print(f"{result['flashes']} flashes, {result['beeps']} beeps, {result['matched']} matched")
    if result["matched"]:
        print(f"offset: mean {result['mean_offset_ms']:+.1f} ms, median {result['median_offset_ms']:+.1f} ms, "
              f"range {result['min_offset_ms']:+.1f}..{result['max_offset_ms']:+.1f} ms; "
              f"change {result['drift_over_span_ms']:+.1f} ms over {result['span_s']:.0f} s "
              f"({result['drift_ms_per_min']:+.2f} ms/min)")
    if "stimulus_latency_ms" in result:
        lat = result["stimulus_latency_ms"]
        print(f"stimulus latency (flash to the monitor hearing its beep): mean {lat['mean']:.1f} ms, "
              f"{lat['min']:.1f}..{lat['max']:.1f} ms over {lat['beeps']} beeps")
    if "own" in result:
        own = result["own"]
        print(f"recorder's own offset (each beep's stimulus latency taken off): mean {own['mean_offset_ms']:+.1f} ms, "
              f"median {own['median_offset_ms']:+.1f} ms, range {own['min_offset_ms']:+.1f}..{own['max_offset_ms']:+.1f}"
              f" ms over {own['beeps']} beeps; change {own['drift_over_span_ms']:+.1f} ms over {own['span_s']:.0f} s "
              f"({own['drift_ms_per_min']:+.2f} ms/min)")
        # A flash shows in the first frame captured after it: it came up to a frame before that frame's time.
        if result.get("mean_frame_gap_ms"):
            half = result["mean_frame_gap_ms"] / 2
            print(f"recorder's own offset with each flash half a frame before its frame ({half:.1f} ms, the mean "
                  f"place of an instant between two frames): mean {own['mean_offset_ms'] + half:+.1f} ms")
    if "sound_side" in result:
        report_sides(result)


def read_samples(path: str) -> list:
    """(seconds since the start, CPU seconds, resident MB) of each line of a samples file, in order."""
    rows = []
    for line in pathlib.Path(path).read_text().splitlines():
        fields = line.split()
        if len(fields) == 3:
            rows.append((float(fields[0]), float(fields[1]), float(fields[2]) / 1024))
    return rows


def report_windows(result: dict, window_s: float, samples: list) -> None:
    """Frames, own offset and, from the samples, CPU per frame and memory per window of the recording."""
    frame_s = result["_frame_s"]
    if not frame_s:
        print("windows: no picture")
        return
    start = frame_s[0]
    own = [(t - start, y) for t, y in result.get("own", {}).get("points", [])]
    count = int((frame_s[-1] - start) // window_s) + 1
    previous_mean = None
    for k in range(count):
        lo, hi = k * window_s, (k + 1) * window_s
        frames = sum(1 for t in frame_s if lo <= t - start < hi)
        line = f"window {lo / 60:5.1f}-{min(hi, frame_s[-1] - start) / 60:5.1f} min: {frames} frames"
        inside = [s for s in samples if lo <= s[0] <= hi]
        if len(inside) >= 2 and frames:
            first, last = inside[0], inside[-1]
            # Frames in the part of the window the samples span, so that a window cut short counts alike.
            spanned = sum(1 for t in frame_s if first[0] <= t - start < last[0])
            if spanned:
                line += (f", CPU {(last[1] - first[1]) * 1000 / spanned:.1f} ms/frame, "
                         f"resident {last[2]:.0f} MB (peak of window {max(s[2] for s in inside):.0f} MB)")
        points = [(t, y) for t, y in own if lo <= t < hi]
        if len(points) >= 2:
            w = summary(points)
            line += (f", own offset mean {w['mean_offset_ms']:+.1f} ms, range {w['min_offset_ms']:+.1f}.."
                     f"{w['max_offset_ms']:+.1f}, change {w['drift_over_span_ms']:+.1f} ms ({len(points)} beeps)")
            if previous_mean is not None:
                line += f", mean moved {w['mean_offset_ms'] - previous_mean:+.1f} ms since the window before"
            previous_mean = w["mean_offset_ms"]
        print(line)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="+", type=pathlib.Path)
    parser.add_argument("--json", action="store_true")
    parser.add_argument("--max-match-ms", type=float, default=700)
    parser.add_argument("--stimulus", help="the stimulus's output: takes each beep's own latency off its offset")
    parser.add_argument("--window-s", type=float, help="also a line per window of this many seconds")
    parser.add_argument("--samples", help="with --window-s: the recorder's CPU and memory samples")
    args = parser.parse_args()
    files = [p for path in args.inputs for p in parts_of(path)]
    if not files:
        print("no part files", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as tmp:
        joined = os.path.join(tmp, "all.ts")
        with open(joined, "wb") as out:
            for f in files:
                out.write(f.read_bytes())
        stimulus = (read_stimulus_log(args.stimulus), read_stimulus_period(args.stimulus),
                    read_stimulus_flashes(args.stimulus)) if args.stimulus else ()
        result = analyse(joined, args.max_match_ms, *stimulus)
    if args.json:
        print(json.dumps({k: v for k, v in result.items() if not k.startswith("_")}))
    else:
        report(result)
    if args.window_s:
        report_windows(result, args.window_s, read_samples(args.samples) if args.samples else [])
    return 0


if __name__ == "__main__":
    sys.exit(main())
