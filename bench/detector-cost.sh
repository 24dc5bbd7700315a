#!/bin/sh
# What the robust detector costs over a whole run: alternates RUNS runs of
# stillsift --detector pixel and --detector robust on one video and prints
# the median wall and CPU time (stillsift and its ffmpeg child) of each, and
# their ratios.
#
# Usage: bench/detector-cost.sh [VIDEO]   (default: the screen talk of
# bench/score-talks.sh, 1920x1080)
# Environment: STILLSIFT (default build/src/app/stillsift), RUNS (default 3),
# BENCH_DIR (default build/bench-cost).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
stillsift=${STILLSIFT:-$root/build/src/app/stillsift}
video=${1:-${TALKS_DIR:-/tmp/stillsift-talks}/screen.mp4}
runs=${RUNS:-3}
work=${BENCH_DIR:-$root/build/bench-cost}
[ -x "$stillsift" ] || { echo "no stillsift at $stillsift: build it first" >&2; exit 1; }
[ -s "$video" ] || { echo "no video at $video (bench/score-talks.sh makes the talks)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
mkdir -p "$work"

median() {
    tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

pixel_wall= pixel_cpu= robust_wall= robust_cpu=
for run in $(seq 1 "$runs"); do
    for detector in pixel robust; do
        rm -rf "$work/frames"
        /usr/bin/time -o "$work/time.out" -f '%e %U %S' \
            "$stillsift" --input "$video" --out "$work/frames" --detector "$detector" \
            >/dev/null 2>&1
        read -r wall user system <"$work/time.out"
        cpu=$(echo "$user $system" | awk '{ print $1 + $2 }')
        printf '  run %s %-6s wall %7.2f s  cpu %7.2f s\n' "$run" "$detector" "$wall" "$cpu"
        eval "${detector}_wall=\"\$${detector}_wall $wall\"; ${detector}_cpu=\"\$${detector}_cpu $cpu\""
    done
done
rm -rf "$work/frames"
awk -v pw="$(echo "$pixel_wall" | median)" -v pc="$(echo "$pixel_cpu" | median)" \
    -v rw="$(echo "$robust_wall" | median)" -v rc="$(echo "$robust_cpu" | median)" 'BEGIN {
    printf "median pixel   wall %7.2f s  cpu %7.2f s\n", pw, pc
    printf "median robust  wall %7.2f s  cpu %7.2f s\n", rw, rc
    printf "robust / pixel wall x%.3f  cpu x%.3f   (target <= 1.10)\n", rw / pw, rc / pc
}'
echo "load average now: $(cut -d' ' -f1-3 /proc/loadavg); cores: $(nproc)"
