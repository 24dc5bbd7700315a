#!/bin/sh
# Makes a short sample talk: five still "slides" of known length and, in the
# middle, a few seconds of moving picture. Usage: make-sample-talk.sh OUT.mp4
# The same command always makes the same video.
set -eu
out=${1:?usage: make-sample-talk.sh OUT.mp4}
size=640x360

ffmpeg -nostdin -y -loglevel error \
    -f lavfi -i "smptebars=size=$size:rate=25:duration=6" \
    -f lavfi -i "color=c=0x1f3a93:size=$size:rate=25:duration=5" \
    -f lavfi -i "testsrc2=size=$size:rate=25:duration=4" \
    -f lavfi -i "rgbtestsrc=size=$size:rate=25:duration=7" \
    -f lavfi -i "pal100bars=size=$size:rate=25:duration=5" \
    -f lavfi -i "color=c=0xf0e6c8:size=$size:rate=25:duration=6" \
    -filter_complex "[0:v][1:v][2:v][3:v][4:v][5:v]concat=n=6:v=1:a=0,format=yuv420p[v]" \
    -map "[v]" -c:v libx264 -preset veryfast -crf 23 -threads 1 "$out"
