#!/usr/bin/env bash
# Transport stream muxer benchmark: encodes 1080p H.264 (an IDR of about 150 KB every 2 s, inter frames
# of 7-40 KB, no B-frames) and AAC (about 290 bytes a frame) elementary streams, muxes them with
# muxer_bench (TsMuxer alone, units already in memory), remuxes the same files with
# `ffmpeg -c copy -f mpegts` (which also reads and parses the raw streams), and prints both throughputs in
# elementary-stream bytes per second and their ratio. Also prints the synthetic per-frame benchmarks.
#   scripts/bench-muxer.sh [BUILD_DIR] [SECONDS]
# BUILD_DIR is a native build with the target muxer_bench built (default build/native).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=$(realpath "${1:-$root/build/native}")
seconds=${2:-10}
bench="$build/bench/muxers/muxer_bench"
[ -x "$bench" ] || { echo "build it first: cmake --build $build --target muxer_bench"; exit 1; }
for tool in ffmpeg python3; do
  command -v "$tool" >/dev/null || { echo "$tool not found on PATH"; exit 1; }
done

work=$(mktemp -d /tmp/vell-muxer-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# A still, detailed background (large intra frames) with a moving test picture over part of it.
ffmpeg -nostdin -v error -f lavfi -i mandelbrot=size=1920x1080 -frames:v 1 -y "$work/still.png"
ffmpeg -nostdin -v error -loop 1 -framerate 30 -i "$work/still.png" -f lavfi -i testsrc2=size=640x480:rate=30 \
  -filter_complex "[0][1]overlay=x='mod(t*300,1280)':y=300,format=yuv420p" -t "$seconds" \
  -c:v libx264 -preset veryfast -bf 0 -crf 16 \
  -x264-params keyint=60:min-keyint=60:scenecut=0:repeat-headers=1 -f h264 -y "$work/video.h264"
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" -ac 2 \
  -c:a aac -b:a 96k -f adts -y "$work/audio.aac"
es_bytes=$(( $(stat -c %s "$work/video.h264") + $(stat -c %s "$work/audio.aac") ))

"$bench" --benchmark_min_time=0.5 --benchmark_filter='BM_MuxVideo|BM_MuxAudio'
"$bench" --video="$work/video.h264" --audio="$work/audio.aac" --benchmark_filter=BM_MuxElementaryStreams \
  --benchmark_min_time=1 --benchmark_format=json > "$work/bench.json"

# Best of five FFmpeg runs (real time as FFmpeg itself measures it, without process start-up).
best=""
for _ in 1 2 3 4 5; do
  rtime=$(ffmpeg -nostdin -hide_banner -nostats -benchmark -v info -f h264 -framerate 30 -i "$work/video.h264" -f aac -i "$work/audio.aac" \
            -map 0 -map 1 -c copy -f mpegts -y /dev/null 2>&1 | sed -n 's/.*rtime=\([0-9.]*\)s.*/\1/p')
  if [ -z "$best" ] || python3 -c "import sys; sys.exit(0 if $rtime < $best else 1)"; then best=$rtime; fi
done

python3 - "$work/bench.json" "$es_bytes" "$best" <<'PY'
import json, sys
report = json.load(open(sys.argv[1]))
ours = report["benchmarks"][0]["bytes_per_second"]
units = int(report["benchmarks"][0]["units"])
es_bytes, ffmpeg_seconds = int(sys.argv[2]), float(sys.argv[3])
theirs = es_bytes / ffmpeg_seconds
print(f"elementary streams: {es_bytes} bytes in {units} units")
print(f"TsMuxer:            {ours / 1e6:10.1f} MB/s")
print(f"ffmpeg -c copy:     {theirs / 1e6:10.1f} MB/s  ({ffmpeg_seconds * 1000:.1f} ms)")
print(f"ratio TsMuxer / ffmpeg: {ours / theirs:.1f}")
PY
