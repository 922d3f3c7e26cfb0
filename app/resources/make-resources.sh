#!/bin/sh
# Regenerates the committed alert sound and icon (needs sox, lame, ImageMagick).
set -eu
cd "$(dirname "$0")"
t=$(mktemp -d)
trap 'rm -r "$t"' EXIT
beep() { sox -n -r 44100 -c 1 "$t/$1.wav" synth 0.14 sine "$2" fade q 0.01 0.14 0.02 vol 0.7; }
beep hi 1320
beep lo 990
sox -n -r 44100 -c 1 "$t/gap.wav" trim 0 0.06
sox -n -r 44100 -c 1 "$t/rest.wav" trim 0 0.45
sox "$t/hi.wav" "$t/gap.wav" "$t/lo.wav" "$t/gap.wav" "$t/hi.wav" "$t/gap.wav" "$t/lo.wav" "$t/rest.wav" "$t/all.wav"
lame --quiet -b 48 -m m "$t/all.wav" 553680.mp3
/usr/bin/convert -size 32x32 xc:none -fill '#d03020' -draw 'roundrectangle 1,1 30,30 6,6' \
  -fill white -draw 'polyline 7,22 13,14 18,19 25,9' -stroke white -strokewidth 3 -fill none \
  -draw 'polyline 7,22 13,14 18,19 25,9' -strip zantrel.png
