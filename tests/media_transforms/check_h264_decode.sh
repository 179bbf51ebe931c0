#!/usr/bin/env bash
# Decodes the software encoder's stream written by media_transforms_win_test with ffmpeg and compares it
# with the frames that went in: every frame decodes, keyframes sit where the encoder put its IDR frames
# (input frames 0, 30, 60...; swpath.txt gives their places among the frames not skipped), and the
# picture matches the input above a PSNR floor.
#   check_h264_decode.sh DUMP_DIR MIN_AVERAGE_PSNR MIN_FRAME_PSNR [NAME]   (NAME.txt/.h264/.yuv, default swpath)
set -euo pipefail
dir=$1 min_avg=$2 min_frame=$3 name=${4:-swpath}
# Written by a Windows program: CRLF line ends.
{ read -r width height frames; read -r want; } < <(tr -d '\r' < "$dir/$name.txt")
stream="$dir/$name.h264" input="$dir/$name.yuv"

decoded=$(ffprobe -v error -f h264 -count_frames -select_streams v:0 \
  -show_entries stream=nb_read_frames,width,height -of default=nw=1 "$stream" | paste -sd' ')
echo "$decoded"
[ "$decoded" = "width=$width height=$height nb_read_frames=$frames" ] ||
  { echo "FAIL: expected ${width}x${height} and $frames decoded frames"; exit 1; }

keys=$(ffprobe -v error -f h264 -show_entries frame=key_frame -of csv=p=0 "$stream" |
  awk '$1 == 1 { printf "%s%d", sep, NR - 1; sep = " " }')
echo "keyframes: $keys"
[ "$keys" = "$want" ] || { echo "FAIL: keyframes at '$keys', expected '$want'"; exit 1; }

stats="$dir/psnr.log"
ffmpeg -v error -nostdin -y -r 30 -f h264 -i "$stream" \
  -f rawvideo -pix_fmt yuv420p -s "${width}x${height}" -framerate 30 -i "$input" \
  -lavfi "[0:v][1:v]psnr=stats_file=$stats" -f null -
awk -v min_avg="$min_avg" -v min_frame="$min_frame" -v frames="$frames" '
  { for (i = 1; i <= NF; i++) if ($i ~ /^psnr_avg:/) { v = substr($i, 10); sum += v; n++; if (n == 1 || v < lo) lo = v } }
  END {
    if (n != frames) { printf "FAIL: PSNR of %d frames, expected %d\n", n, frames; exit 1 }
    printf "PSNR average %.2f dB, lowest frame %.2f dB over %d frames\n", sum / n, lo, n
    if (sum / n < min_avg || lo < min_frame) { print "FAIL: below the floor"; exit 1 }
  }' "$stats"
