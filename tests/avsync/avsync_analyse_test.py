#!/usr/bin/env python3
"""The A/V sync analyser on synthetic recordings: flashes every 2 s, beeps at known offsets from them."""
import json
import pathlib
import subprocess
import sys
import tempfile
import unittest

ANALYSER = sys.argv.pop(1) if len(sys.argv) > 1 else str(pathlib.Path(__file__).parents[2] / "scripts/avsync_analyse.py")
SECONDS = 14


def make(path: pathlib.Path, beep_expr: str, rate: int = 30, parts: bool = False) -> None:
    """A dark picture flashing white for 0.3 s at 1 s, 3 s, 5 s ...; a 1 kHz beep wherever beep_expr is 1."""
    video = (f"color=black:s=320x240:r={rate},"
             "drawbox=c=white:t=fill:enable='between(mod(t\\,2)\\,1\\,1.3)'")
    audio = f"aevalsrc='0.5*sin(2*PI*1000*t)*({beep_expr})':s=48000"
    out = ["-f", "segment", "-segment_time", "4", "-segment_format", "mpegts", str(path / "part-%d.ts")] \
        if parts else ["-f", "mpegts", str(path)]
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", video, "-f", "lavfi", "-i", audio,
                    "-t", str(SECONDS), "-c:v", "libx264", "-g", str(rate), "-c:a", "aac", "-ac", "1"] + out,
                   check=True, timeout=60)


def analyse(path: pathlib.Path) -> dict:
    out = subprocess.run([sys.executable, ANALYSER, "--json", str(path)], capture_output=True, text=True,
                         check=True, timeout=60).stdout
    return json.loads(out)


def beep_at(delay: float, period: float = 2.0) -> str:
    return f"between(mod(t-{delay}\\,{period})\\,1\\,1.1)"


def load_analyser():
    import importlib.util
    found = importlib.util.spec_from_file_location("avsync_analyse", ANALYSER)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class StimulusLatencyTest(unittest.TestCase):
    """Each beep's own stimulus latency, found by its flash's index, is taken off its offset."""
    LATENCY = [12, 55, 30, 80, 41, 7, 66, 23, 90, 35, 50, 15, 70]

    def test_latency_taken_off_beep_by_beep(self):
        analyser = load_analyser()
        heard = dict(enumerate(self.LATENCY))
        # (case, events recorded: stimulus flash indexes, recorder's own offset)
        cases = [("from flash 3", list(range(3, 11)), 25), ("one event lost", [3, 4, 6, 7, 8, 9, 10], -15),
                 ("from flash 0", list(range(0, 9)), 0)]
        # A recording whose offset drifts 30 ms per event is still paired from its first flash.
        drifting = [{"flash_s": 10 + 2 * i, "offset_ms": self.LATENCY[i + 2] + 30 * i} for i in range(9)]
        points = analyser.own_offsets(drifting, heard)
        self.assertEqual([round(y) for _, y in points], [30 * i for i in range(9)])
        for name, indexes, own in cases:
            with self.subTest(name):
                matched = [{"flash_s": 10 + 2 * (k - indexes[0]), "offset_ms": self.LATENCY[k] + own} for k in indexes]
                points = analyser.own_offsets(matched, heard)
                self.assertEqual(len(points), len(indexes))
                for _, y in points:
                    self.assertAlmostEqual(y, own)

    def test_long_recording_paired_by_the_stimulus_period(self):
        # 2.005 s apart, 300 flashes: taken as 2 s apart, the later ones would get their neighbours' latencies.
        heard = {k: float(k * 37 % 90) for k in range(300)}
        matched = [{"flash_s": 10 + 2.005 * (k - 5), "offset_ms": heard[k] + 12} for k in range(5, 300)]
        points = load_analyser().own_offsets(matched, heard, 2.005)
        self.assertEqual(len(points), len(matched))
        self.assertTrue(all(abs(y - 12) < 1e-9 for _, y in points))

    def test_paired_by_painted_times_where_the_period_stretched(self):
        # The stimulus's sound underran twice: later flashes came 0.6 s and 1.4 s after their period's place.
        painted = {k: 100 + 2.005 * k + (0.6 if k >= 5 else 0) + (0.8 if k >= 8 else 0) for k in range(15)}
        heard = {k: float(k * 37 % 90) for k in range(15)}
        # Recorded up to a frame after painting, from flash 2 on, flash 6 lost.
        matched = [{"flash_s": painted[k] - 93 + (k % 3) * 0.011, "offset_ms": heard[k] + 12}
                   for k in range(2, 15) if k != 6]
        points = load_analyser().own_offsets(matched, heard, 2.005, painted)
        self.assertEqual(len(points), len(matched))
        self.assertTrue(all(abs(y - 12) < 1e-9 for _, y in points), points)

    def test_offset_split_into_its_sound_and_picture_sides(self):
        # The picture's delay grows by 10 ms over the recording; the sound stays 3 ms after the stimulus heard it.
        painted = {k: 100 + 2.005 * k for k in range(15)}
        heard = {k: float(k * 37 % 90) for k in range(15)}
        delay_ms = {k: 20 + 10 * k / 14 for k in range(15)}
        matched = [{"flash_s": painted[k] + delay_ms[k] / 1000 - 93,
                    "beep_s": painted[k] + (heard[k] + 3) / 1000 - 93} for k in range(15)]
        sound, picture = load_analyser().split_offsets(matched, heard, painted)
        middle = delay_ms[7]  # the median delay: both sides are given less it
        self.assertEqual(len(sound), 15)
        for _, got in sound:
            self.assertAlmostEqual(got, 3 - middle, places=6)
        for (_, got), k in zip(picture, range(15)):
            self.assertAlmostEqual(got, delay_ms[k] - middle, places=6)

    def test_log_parsed(self):
        analyser = load_analyser()
        for ready, at, period, painted in (
                ("ready: the first flash comes in 1002 ms, then one every 2005 ms", ", at 81234.5 ms", 2.005,
                 {0: 81.2345}),
                ("ready: the first flash comes in 1000 ms", "", 2.0, {})):
            with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
                f.write(ready + f"\r\nflash 0 painted 0.0 ms after its beep's position{at}\r\n"
                        "beep 1 heard 43.7 ms after its flash\r\nbeep 2 heard -3.5 ms after its flash\r\n")
            try:
                self.assertEqual(analyser.read_stimulus_log(f.name), {1: 43.7, 2: -3.5})
                self.assertEqual(analyser.read_stimulus_period(f.name), period)
                self.assertEqual(analyser.read_stimulus_flashes(f.name), painted)
            finally:
                pathlib.Path(f.name).unlink()


class AnalyserTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def test_known_offsets(self):
        # (case, beep expression, frame rate, expected mean offset ms, expected drift ms/min, unmatched flashes)
        cases = [
            ("sound late", beep_at(0.08), 30, 80, 0, 0),
            ("sound early", beep_at(-0.04), 30, -40, 0, 0),
            ("in step at 10 fps", beep_at(0.0), 10, 0, 0, 0),
            # 2 ms later every 2 s: the offset grows by 60 ms a minute, from 0 at the first flash (t = 1 s).
            ("drifting", beep_at(0.0, 2.002) + "*1", 30, 6, 60, 0),
            ("one beep lost", beep_at(0.05) + "*not(between(t\\,6\\,8))", 30, 50, 0, 1),
        ]
        for name, expr, rate, mean, drift, unmatched in cases:
            with self.subTest(name):
                ts = self.dir / f"{rate}-{len(expr)}.ts"
                make(ts, expr, rate)
                r = analyse(ts)
                flashes = SECONDS // 2
                self.assertEqual(r["flashes"], flashes, r)
                self.assertEqual(r["matched"], flashes - unmatched, r)
                self.assertEqual(len(r["unmatched_flashes"]), unmatched, r)
                self.assertEqual(r["unmatched_beeps"], [], r)
                self.assertAlmostEqual(r["mean_offset_ms"], mean, delta=3, msg=r)
                self.assertAlmostEqual(r["drift_ms_per_min"], drift, delta=4, msg=r)
                for e in r["events"]:
                    if e["beep_s"] is not None:
                        self.assertAlmostEqual(e["frame_gap_ms"], 1000 / rate, delta=1)

    def test_parts_read_as_one_time_line(self):
        make(self.dir, beep_at(0.12), parts=True)
        self.assertGreaterEqual(len(list(self.dir.glob("part-*.ts"))), 3)
        r = analyse(self.dir)
        self.assertEqual((r["flashes"], r["matched"]), (SECONDS // 2, SECONDS // 2), r)
        self.assertAlmostEqual(r["min_offset_ms"], 120, delta=3, msg=r)
        self.assertAlmostEqual(r["max_offset_ms"], 120, delta=3, msg=r)

    def test_no_flash_no_beep(self):
        make(self.dir / "still.ts", "0")
        r = analyse(self.dir / "still.ts")
        self.assertEqual((r["flashes"], r["beeps"], r["matched"]), (SECONDS // 2, 0, 0), r)
        self.assertNotIn("mean_offset_ms", r)


if __name__ == "__main__":
    unittest.main()
