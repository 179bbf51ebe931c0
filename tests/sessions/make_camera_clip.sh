#!/usr/bin/env bash
# Writes the clip that stands in for a camera in the camera session tests: raw YUY2 in an AVI (what Wine's source
# resolver opens as a media source paced by the presentation clock), 320x240 at 30 frames per second, 20 s of a
# moving test pattern. Kept between runs.
#   make_camera_clip.sh FILE
set -euo pipefail
file=$1
[ -s "$file" ] && exit 0
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x240:rate=30 -t 20 -pix_fmt yuyv422 -c:v rawvideo \
  "$file.tmp.avi"
mv "$file.tmp.avi" "$file"
