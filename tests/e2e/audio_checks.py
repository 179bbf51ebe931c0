#!/usr/bin/env python3
"""Checks of a recording's sound, for the end-to-end scenarios (Python standard library and ffprobe/ffmpeg).

    audio_checks.py has-audio PART           the part carries AAC packets
    audio_checks.py spans TS MAX_MS          the sound starts within MAX_MS of the recording's start and ends
                                             within 2 x MAX_MS of the picture's end
    audio_checks.py part-spans PART MAX_MS   within one part, sound and picture start and end within MAX_MS of
                                             each other
    audio_checks.py gaps TS MAX_MS           neither time line has a hole of MAX_MS or more, and both increase
    audio_checks.py video-back TS MIN_MS     the picture has a hole of MIN_MS or more with frames after it, the
                                             sound none
    audio_checks.py tone TS FREQUENCY        the sound holds a tone of FREQUENCY Hz (within 3 Hz in 3 of 4 windows)
    audio_checks.py covered TS MAX_MS PART...    the sound of TS (all the parts) covers each part's picture, up to the
                                             next part's first frame, but for at most MAX_MS
    audio_checks.py part-durations PART...   at every cut the sound is split where the picture is, and each part but
                                             the first and the last (where the sources start and stop) holds as much
                                             sound as picture, both within one AAC frame and the PTS rounding
    audio_checks.py tone-between TS FREQUENCY FROM TO    every half-second window of the sound from FROM to TO s (from
                                             its start) holds the tone; with FREQUENCY 0, every one is silent
    audio_checks.py tones TS F1[,F2...]      the sound holds every tone at once (each a fifth of the sound or
                                             more in half the windows or more): mixed sources, and short parts
                                             where a click or two would fail the zero-crossing count
Each prints what it measured and exits with 1 when the check fails.
"""
import array
import json
import math
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
    # the ends get twice the bound. The stop falls anywhere in the interval after the last frame, and a slow
    # capture (a busy machine) makes that interval longer than the typical one counted in the picture's span:
    # the ends also get the longest interval of the picture's last second beyond the typical one.
    p = packets(ts)
    if not p["audio"] or not p["video"]:
        print("a stream is missing")
        return False
    (a0, a1), (v0, v1) = span(p["audio"]), span(p["video"])
    diff = ((a1 - a0) - (v1 - v0)) * 1000
    times = sorted(t for t, _ in p["video"])
    steps = [b - a for a, b in zip(times, times[1:])]
    typical = sorted(steps)[len(steps) // 2] if steps else 0
    late = max([b - a for a, b in zip(times, times[1:]) if b >= times[-1] - 1.0] + [typical]) - typical
    print(f"audio {a0:.3f}..{a1:.3f} s ({a1 - a0:.3f} s), video {v0:.3f}..{v1:.3f} s ({v1 - v0:.3f} s): "
          f"audio {diff:+.0f} ms longer; starts {(a0 - v0) * 1000:+.0f} ms, ends {(a1 - v1) * 1000:+.0f} ms apart "
          f"(frames up to {late * 1000:.0f} ms later than typical at the end)")
    return a0 * 1000 <= max_ms and abs(a1 - v1) * 1000 <= 2 * max_ms + late * 1000


def part_spans(part: str, max_ms: float) -> bool:
    # A part is cut at a video keyframe and the sound goes on across the cut, so inside a part both start and
    # end within a frame or an AAC frame of each other; a lost stretch of either shows as a difference.
    p = packets(part)
    if not p["audio"] or not p["video"]:
        print(f"{part}: {len(p['audio'])} audio and {len(p['video'])} video packets")
        return False
    (a0, a1), (v0, v1) = span(p["audio"]), span(p["video"])
    print(f"{part}: audio {a0:.3f}..{a1:.3f} s, video {v0:.3f}..{v1:.3f} s")
    return abs(a0 - v0) * 1000 <= max_ms and abs(a1 - v1) * 1000 <= max_ms


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


def video_back(ts: str, min_ms: float) -> bool:
    """The video has a hole of at least MIN_MS (a lost camera, at its time) with frames after it, and the sound has
    none (its largest step within a few AAC frames)."""
    p = packets(ts)
    video, sound = sorted(t for t, _ in p["video"]), sorted(t for t, _ in p["audio"])
    if len(video) < 2 or len(sound) < 2:
        print(f"{len(video)} video and {len(sound)} audio packets")
        return False
    hole, at = max((b - a, i + 1) for i, (a, b) in enumerate(zip(video, video[1:])))
    sound_step = max(b - a for a, b in zip(sound, sound[1:]))
    print(f"video: {len(video)} frames, hole of {hole * 1000:.0f} ms at {video[at - 1]:.3f} s, {len(video) - at} "
          f"frames after it; sound: largest step {sound_step * 1000:.0f} ms")
    return hole * 1000 >= min_ms and len(video) - at >= 20 and sound_step < 0.2


def tone(ts: str, frequency: float) -> bool:
    """Half-second windows: those at the tone's full level must all cross zero at twice its frequency. The first and
    last windows are left out: the stream's edges cut them short."""
    windows = [(r, f) for _, r, f in found_windows(ts)]
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


def covered(ts: str, max_ms: float, parts: list) -> bool:
    """Each part's picture, from its first frame to the next part's, is covered by the recording's sound (AAC frames
    of 1024 samples at 48 kHz, wherever they were muxed) but for at most MAX_MS. The last part's picture ends where
    the screen session stopped, after the sound's: it is not measured."""
    sound = sorted(t for t, _ in packets(ts)["audio"])
    frame = 1024 / 48000
    starts = [min(t for t, _ in packets(p)["video"]) for p in parts]
    ok = True
    for part, v0, v1 in zip(parts, starts, starts[1:]):
        heard, reached = 0.0, v0
        for t in sound:
            begin, end = max(t, reached), min(t + frame, v1)
            if end > begin:
                heard += end - begin
                reached = end
        missing = (v1 - v0 - heard) * 1000
        print(f"{part}: picture {v0:.3f}..{v1:.3f} s, {missing:.0f} ms of it without sound")
        ok = ok and missing <= max_ms
    return ok


def part_durations(parts: list) -> bool:
    """A part's picture runs from its first frame to the next part's; its sound, from its first AAC frame to the
    end of its last. The part is cut at a keyframe and each AAC frame goes into the part whose picture holds its
    start, so the two differ by less than one AAC frame, plus the truncation of each time to 90 kHz ticks."""
    found = [packets(p) for p in parts]
    # The sound stops before the picture's last frames (the audio session is stopped first): a keyframe in between
    # starts a last part with no sound. The part before it is then the sound's last.
    while len(found) > 2 and not found[-1]["audio"] and found[-1]["video"]:
        print(f"{parts[-1]}: {len(found[-1]['video'])} video packets after the sound ended")
        found, parts = found[:-1], parts[:-1]
    if len(found) < 2 or not all(p["audio"] and p["video"] for p in found):
        print(f"{len(found)} parts, " + ", ".join(f"{len(p['audio'])}/{len(p['video'])}" for p in found) +
              " audio/video packets: nothing to measure")
        return False
    ok = True
    for i, (part, this) in enumerate(zip(parts, found)):
        frame = this["audio"][0][1] or 1024 / 48000
        bound = (frame + 4 / 90000) * 1000
        (a0, a1), v0 = span(this["audio"]), min(t for t, _ in this["video"])
        if i + 1 < len(found):
            v1 = min(t for t, _ in found[i + 1]["video"])
            # At the cut: the sound ends within a frame of the next part's first picture.
            ok = ok and abs(a1 - v1) * 1000 <= bound
            if 0 < i:
                diff = ((a1 - a0) - (v1 - v0)) * 1000
                print(f"{part}: sound {a0:.3f}..{a1:.3f} s, picture {v0:.3f}..{v1:.3f} s: sound {diff:+.1f} ms longer")
                ok = ok and abs(diff) <= bound
            else:
                print(f"{part}: sound ends at {a1:.3f} s, the next picture starts at {v1:.3f} s")
        if i > 0:
            # After the cut: the sound starts with the picture, never before it.
            ok = ok and -4 / 90 <= (a0 - v0) * 1000 <= bound
            if i + 1 == len(found):
                print(f"{part}: sound starts at {a0:.3f} s, picture at {v0:.3f} s")
    print(f"bound {bound:.1f} ms")
    return ok


def found_windows(ts: str) -> list:
    """Half-second windows of the sound from its start: (start s, RMS dB, zero-crossing frequency)."""
    out = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-i", ts, "-map", "0:a:0", "-af",
         "aresample=48000,asetnsamples=n=24000:p=0,astats=metadata=1:reset=1:measure_overall=none:"
         "measure_perchannel=RMS_level+Zero_crossings_rate,ametadata=mode=print:file=-", "-f", "null", "-"],
        capture_output=True, text=True, check=True).stdout
    found, rms = [], None
    for line in out.splitlines():
        if line.startswith("lavfi.astats.1.RMS_level="):
            value = line.split("=", 1)[1]
            rms = float("-inf") if value in ("-inf", "nan") else float(value)
        elif line.startswith("lavfi.astats.1.Zero_crossings_rate=") and rms is not None:
            found.append((len(found) * 0.5, rms, float(line.split("=", 1)[1]) * 48000 / 2))
    return found


def tone_between(ts: str, frequency: float, start: float, end: float) -> bool:
    inside = [(t, r, f) for t, r, f in found_windows(ts) if start <= t and t + 0.5 <= end]
    if frequency == 0:
        bad = [(round(t, 1), f"{r:.0f} dB") for t, r, _ in inside if r > -60]
    else:
        samples = []

        def dominated(t: float) -> bool:
            # A click from a packet lost on a busy machine moves a window's zero crossings; the tone still carries
            # most of its power.
            if not samples:
                raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", ts, "-map", "0:a:0", "-ac", "1",
                                      "-ar", "48000", "-f", "s16le", "-"], capture_output=True, check=True).stdout
                samples.append(array.array("h", raw[:len(raw) // 2 * 2]))
            first = int(round(t * 48000))
            return power_near(samples[0][first:first + 24000], frequency) >= 0.5

        bad = [(round(t, 1), f"{r:.0f} dB", f"{f:.0f} Hz") for t, r, f in inside
               if r < -40 or (abs(f - frequency) > 3 and not dominated(t))]
    print(f"{len(inside)} half-second windows from {start:.1f} to {end:.1f} s, "
          f"{'sound' if frequency == 0 else 'without the tone'}: {bad}")
    return bool(inside) and not bad
def decoded_windows(ts: str):
    """The sound as 48 kHz mono samples, in half-second windows, the first and last left out as in tone."""
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", ts, "-map", "0:a:0", "-ac", "1", "-ar", "48000",
                          "-f", "s16le", "-"], capture_output=True, check=True).stdout
    samples = array.array("h", raw[:len(raw) // 2 * 2])
    windows = [samples[i:i + 24000] for i in range(0, len(samples) - 23999, 24000)]
    return windows[1:-1]


def power_near(window, frequency: float) -> float:
    """The largest power of a sine within 3 Hz of the frequency (Goertzel, 1 Hz steps over a half-second window,
    whose bins are 2 Hz apart), as a share of the window's mean square."""
    n, best = len(window), 0.0
    for f in (frequency + d for d in range(-3, 4)):
        coefficient = 2 * math.cos(2 * math.pi * f / 48000)
        s1 = s2 = 0.0
        for x in window:
            s1, s2 = x + coefficient * s1 - s2, s1
        best = max(best, (s1 * s1 + s2 * s2 - coefficient * s1 * s2) * 2 / (n * n))
    mean_square = sum(x * x for x in window) / n
    return best / mean_square if mean_square else 0.0


def tones(ts: str, frequencies: list) -> bool:
    """Several tones mixed: a tone is found in a window with sound when it carries a fifth of its power or more,
    and each tone must be found in half the windows or more. Each source's first packet comes up to two seconds
    after the start, and packets lost on a busy machine make clicks that spread power, so not every window holds
    every tone."""
    windows = [w for w in decoded_windows(ts) if sum(x * x for x in w) / len(w) > 100 ** 2]
    if not windows:
        print("no half-second window with sound")
        return False
    found = [sum(1 for w in windows if power_near(w, f) >= 0.2) for f in frequencies]
    print(f"{len(windows)} half-second windows with sound; found in " +
          ", ".join(f"{n} at {f:.0f} Hz" for n, f in zip(found, frequencies)))
    return all(n * 2 >= len(windows) for n in found)


def main() -> int:
    check, path = sys.argv[1], sys.argv[2]
    if check == "has-audio":
        return 0 if has_audio(path) else 1
    if check == "part-durations":
        return 0 if part_durations(sys.argv[2:]) else 1
    if check == "covered":
        return 0 if covered(path, float(sys.argv[3]), sys.argv[4:]) else 1
    if check == "tone-between":
        return 0 if tone_between(path, *(float(v) for v in sys.argv[3:6])) else 1
    if check == "tones":
        return 0 if tones(path, [float(f) for f in sys.argv[3].split(",")]) else 1
    argument = float(sys.argv[3])
    checks = {"spans": spans, "part-spans": part_spans, "gaps": gaps, "tone": tone, "video-back": video_back}
    return 0 if checks[check](path, argument) else 1


if __name__ == "__main__":
    sys.exit(main())
