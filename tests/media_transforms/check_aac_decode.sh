#!/usr/bin/env bash
# Decodes the ADTS stream that aacencoder_win_test wrote (the stand-in encoder's frames, each behind the
# daemon's ADTS header) with the host's ffmpeg: it decodes without a warning, is AAC-LC at 48 kHz mono,
# lasts about 2 s, and holds the 440 Hz tone at the level it went in (half of full scale).
#   check_aac_decode.sh DUMP_DIR
set -euo pipefail
stream=$1/tone.aac
[ -s "$stream" ] || { echo "FAIL: no stream at $stream"; exit 1; }
pcm=$(mktemp) log=$(mktemp)
trap 'rm -f "$pcm" "$log"' EXIT

info=$(timeout 60 ffprobe -v error -show_entries stream=codec_name,profile,sample_rate,channels \
  -of default=nw=1 "$stream" | paste -sd' ')
echo "$info"
[ "$info" = "codec_name=aac profile=LC sample_rate=48000 channels=1" ] ||
  { echo "FAIL: expected AAC LC, 48000 Hz, 1 channel"; exit 1; }

timeout 60 ffmpeg -v warning -nostdin -y -f aac -i "$stream" -f s16le -c:a pcm_s16le "$pcm" 2> "$log"
# A raw ADTS stream has no duration field: the demuxer's note that it estimates one is not a fault.
if grep -v 'Estimating duration from bitrate' "$log"; then echo "FAIL: ffmpeg warned while decoding"; exit 1; fi

# Over the second from 0.5 s (past the encoder's start-up): rising zero crossings give the frequency, and
# the RMS level should be that of a sine at half of full scale (11585).
od -An -v -td2 -w2 "$pcm" | awk '
  { if (NR > 24000 && NR <= 72000) { if (prev < 0 && $1 >= 0) rising++; sum += $1 * $1 } prev = $1 }
  END {
    seconds = NR / 48000; rms = sqrt(sum / 48000)
    printf "decoded %.3f s, %d Hz, RMS %.0f\n", seconds, rising, rms
    if (seconds < 1.95 || seconds > 2.1) { print "FAIL: expected about 2 s"; exit 1 }
    if (rising < 439 || rising > 441) { print "FAIL: expected the 440 Hz tone"; exit 1 }
    if (rms < 9000 || rms > 14000) { print "FAIL: the tone level changed"; exit 1 }
  }'
