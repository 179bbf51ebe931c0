#!/usr/bin/env python3
"""Checks of a recording's sound, for the end-to-end scenarios (Python standard library and ffprobe/ffmpeg).

    audio_checks.py has-audio PART           the part carries AAC packets
    audio_checks.py spans TS MAX_MS          the sound starts within MAX_MS of the recording's start and ends
                                             within 2 x MAX_MS of the picture's end
    audio_checks.py gaps TS MAX_MS           neither time line has a hole of MAX_MS or more, and both increase
    audio_checks.py tone TS FREQUENCY        the sound holds a tone of FREQUENCY Hz (within 3 Hz in 3 of 4 windows)
Each prints what it measured and exits with 1 when the check fails.
"""
import json
import subprocess
import sys


def packets(ts: str) -> dict:
    """Per stream kind, the packets' (pts, duration) in seconds, in file order."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=codec_type,pts_time,duration_time",
                          "-of", "json", ts], capture_output=True, text=True, check=True).stdout
    found = {"audio": [], "video": []}
    for p in json.loads(out).get("packets", []):
        if p.get("codec_type") in found and p.get("pts_time") not in (None, "N/A"):
            d = p.get("duration_time")
            found[p["codec_type"]].append((float(p["pts_time"]), float(d) if d not in (None, "N/A") else None))
    return found


def span(pkts: list) -> tuple:
    """(start, end) of a stream: its last packet lasts its own duration, or the typical interval before it."""
    times = sorted(t for t, _ in pkts)
    last_duration = pkts[-1][1]
    if last_duration is None:
        steps = sorted(b - a for a, b in zip(times, times[1:]))
        last_duration = steps[len(steps) // 2] if steps else 0
    return times[0], times[-1] + last_duration


def has_audio(part: str) -> bool:
    n = len(packets(part)["audio"])
    print(f"{part}: {n} audio packets")
    return n > 0


def spans(ts: str, max_ms: float) -> bool:
    # Both time lines count from the recording's start. The picture begins with its first capture, some tens of
    # milliseconds in; the sound begins at the start (silence until the endpoint's first packet). At the end the
    # screen session stops after the audio session, so its last frames come as late as that stop takes on a busy
    # machine, and the AAC encoder's priming lengthens the sound (2048 samples, 43 ms, with the test encoder):
    # the ends get twice the bound.
    p = packets(ts)
    if not p["audio"] or not p["video"]:
        print("a stream is missing")
        return False
    (a0, a1), (v0, v1) = span(p["audio"]), span(p["video"])
    diff = ((a1 - a0) - (v1 - v0)) * 1000
    print(f"audio {a0:.3f}..{a1:.3f} s ({a1 - a0:.3f} s), video {v0:.3f}..{v1:.3f} s ({v1 - v0:.3f} s): "
          f"audio {diff:+.0f} ms longer; starts {(a0 - v0) * 1000:+.0f} ms, ends {(a1 - v1) * 1000:+.0f} ms apart")
    return a0 * 1000 <= max_ms and abs(a1 - v1) * 1000 <= 2 * max_ms


def gaps(ts: str, max_ms: float) -> bool:
    ok = True
    for kind, pkts in packets(ts).items():
        times = [t for t, _ in pkts]
        if len(times) < 2:
            print(f"{kind}: {len(times)} packets")
            return False
        steps = [b - a for a, b in zip(times, times[1:])]
        print(f"{kind}: {len(times)} packets, largest step {max(steps) * 1000:.0f} ms, smallest {min(steps) * 1000:.1f} ms")
        ok = ok and max(steps) * 1000 < max_ms and min(steps) > 0
    return ok


def tone(ts: str, frequency: float) -> bool:
    """Half-second windows: those at the tone's full level must all cross zero at twice its frequency. The first and
    last windows are left out: the stream's edges cut them short."""
    out = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-i", ts, "-map", "0:a:0", "-af",
         "aresample=48000,asetnsamples=n=24000:p=0,astats=metadata=1:reset=1:measure_overall=none:"
         "measure_perchannel=RMS_level+Zero_crossings_rate,ametadata=mode=print:file=-", "-f", "null", "-"],
        capture_output=True, text=True, check=True).stdout
    windows, rms = [], None
    for line in out.splitlines():
        if line.startswith("lavfi.astats.1.RMS_level="):
            value = line.split("=", 1)[1]
            rms = float("-inf") if value in ("-inf", "nan") else float(value)
        elif line.startswith("lavfi.astats.1.Zero_crossings_rate=") and rms is not None:
            windows.append((rms, float(line.split("=", 1)[1]) * 48000 / 2))
    windows = windows[1:-1]
    loud = [r for r, _ in windows if r > -40]
    if not loud:
        print(f"{len(windows)} half-second windows, none with sound")
        return False
    level = sorted(loud)[len(loud) // 2]
    full = [f for r, f in windows if abs(r - level) <= 1]
    good = [f for f in full if abs(f - frequency) <= 3]
    print(f"{len(windows)} half-second windows, {len(full)} at the tone's level ({level:.1f} dB): "
          f"{min(full):.1f}..{max(full):.1f} Hz, {len(good)} within 3 Hz of {frequency:.0f} Hz")
    # A capture packet lost on a busy machine (the metrics count it) makes a click, and the window holding it
    # crosses zero a few more times: the tone must hold in most windows, not necessarily in all.
    return len(full) * 2 >= len(windows) and len(good) * 4 >= len(full) * 3


def main() -> int:
    check, path = sys.argv[1], sys.argv[2]
    if check == "has-audio":
        return 0 if has_audio(path) else 1
    argument = float(sys.argv[3])
    return 0 if {"spans": spans, "gaps": gaps, "tone": tone}[check](path, argument) else 1


if __name__ == "__main__":
    sys.exit(main())
