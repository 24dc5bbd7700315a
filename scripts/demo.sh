#!/bin/sh
# The first thing to run on a fresh machine: installs what is missing,
# builds stillsift, makes a sample talk and turns it into slides.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DSTILLSIFT_TESTS=OFF -DSTILLSIFT_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"

mkdir -p sample
scripts/make-sample-talk.sh sample/talk.mp4
rm -rf sample/slides
echo "Timeline of sample/talk.mp4:"
# A change within 3 seconds of the last one is moving picture, not a slide.
build/src/app/stillsift --input sample/talk.mp4 --out sample/slides \
    --video-changes 1 --video-window 3 2>sample/ffmpeg.log
echo "Slides:"
ls sample/slides

# What the options add, on the same talk: the robust detector, notes in
# Markdown and one page to read the talk from.
rm -rf sample/reading
mkdir -p sample/reading
echo
echo "The same talk with --detector robust --html --format markdown:"
build/src/app/stillsift --input sample/talk.mp4 --out sample/reading/slides \
    --detector robust --html sample/reading/talk.html --format markdown \
    >sample/reading/talk.md 2>sample/ffmpeg-reading.log
echo "Notes: sample/reading/talk.md"
echo "Open the reading page: file://$(pwd)/sample/reading/talk.html"
