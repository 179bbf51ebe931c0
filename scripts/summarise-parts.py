#!/usr/bin/env python3
"""Summarises a recording's part files (picture: duration, frames, codec, size; sound: codec, sample rate, channels,
duration) and takes a thumbnail from the middle."""
import json
import pathlib
import re
import subprocess
import sys


def probe(part: pathlib.Path) -> dict:
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_packets", "-show_entries",
         "stream=codec_type,codec_name,width,height,sample_rate,channels,nb_read_packets:format=duration",
         "-of", "json", str(part)], capture_output=True, text=True, check=True).stdout
    data = json.loads(out)
    streams = data.get("streams", [])
    video = next((s for s in streams if s.get("codec_type") == "video"), {})
    audio = next((s for s in streams if s.get("codec_type") == "audio" and int(s.get("nb_read_packets", 0))), None)
    info = {"codec": video.get("codec_name", "-"), "size": f"{video.get('width', 0)}x{video.get('height', 0)}",
            "frames": int(video.get("nb_read_packets", 0)),
            "duration": float(data.get("format", {}).get("duration", 0) or 0), "audio": "-", "audio_s": 0.0}
    if audio:
        # The sound's own duration, from its packets: one AAC frame carries 1024 samples.
        rate = int(audio.get("sample_rate", 0) or 0)
        info["audio_s"] = int(audio["nb_read_packets"]) * 1024 / rate if rate else 0.0
        info["audio"] = f"{audio.get('codec_name', '?')} {rate} Hz {audio.get('channels', '?')} ch"
    return info


def main(folder: pathlib.Path) -> int:
    parts = sorted(folder.glob("part-*.ts"), key=lambda p: int(re.findall(r"\d+", p.name)[-1]))
    if not parts:
        print("no parts were written")
        return 1
    total_frames = total_bytes = 0
    total_duration = total_audio = 0.0
    starts = []
    print(f"{'part':<12}{'duration':>10}{'frames':>8}  {'codec':<6}{'picture':<11}{'bytes':>10}  "
          f"{'sound':<20}{'sound s':>8}")
    for part in parts:
        info = probe(part)
        starts.append((total_duration, part))
        size = part.stat().st_size
        total_frames += info["frames"]
        total_bytes += size
        total_duration += info["duration"]
        total_audio += info["audio_s"]
        print(f"{part.name:<12}{info['duration']:>9.2f}s{info['frames']:>8}  {info['codec']:<6}{info['size']:<11}"
              f"{size:>10}  {info['audio']:<20}{info['audio_s']:>7.2f}s")
    print(f"{'total':<12}{total_duration:>9.2f}s{total_frames:>8}  {'':<17}{total_bytes:>10}  {'':<20}"
          f"{total_audio:>7.2f}s")
    host = folder / "host.txt"
    if host.exists():
        finished = re.findall(r"<- recorder-finished (\{.*\})", host.read_text())
        if finished:
            for metric in json.loads(finished[-1])["recordingMetrics"]:
                tags = ", ".join(f"{k}={v}" for k, v in metric["tags"])
                print(f"metric {metric['metric_name']} = {metric['metric_value']} ({tags})")
    # Every part starts with a keyframe: decode the part that holds the middle from its start and keep the
    # frame at the offset, rather than seeking into the stream mid-way between keyframes.
    middle = total_duration / 2
    start, part = [(t, p) for t, p in starts if t <= middle][-1]
    thumbnail = folder / "thumbnail.png"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", str(part), "-ss", f"{middle - start:.2f}",
                    "-frames:v", "1", "-vf", "scale=480:-2", str(thumbnail)], check=True)
    print(f"thumbnail from the middle of the recording: {thumbnail}")
    return 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
