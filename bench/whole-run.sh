#!/bin/sh
# Whole runs on a generated 1080p, 30 fps talk: the bare frame extraction
# that stillsift starts (ffmpeg -i V -vf fps=1 DIR/frame_%06d.png) against
# stillsift --input V --out DIR, alternating, RUNS times each. Prints the
# median wall times, their ratio and stillsift's peak resident memory.
#
# Usage: bench/whole-run.sh [MINUTES...]     (default: 3)
# With several lengths (bench/whole-run.sh 3 12) it also prints how time and
# memory grow from the first length to each other one.
#
# Environment: STILLSIFT (default build/src/app/stillsift), RUNS (default 3),
# BENCH_DIR for the talks and frames (default build/bench-work; talks are
# kept there and reused).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
stillsift=${STILLSIFT:-$root/build/src/app/stillsift}
runs=${RUNS:-3}
work=${BENCH_DIR:-$root/build/bench-work}
[ $# -gt 0 ] || set -- 3
[ -x "$stillsift" ] || { echo "no stillsift at $stillsift: build it first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
mkdir -p "$work"

# Still pictures of 4 s each (testsrc2 sampled every 4 s, every picture
# different), held at 30 fps and encoded with libx264.
make_talk() {
    talk=$work/talk-${1}min.mp4
    [ -s "$talk" ] && return
    echo "making a ${1}-minute talk: $talk" >&2
    ffmpeg -nostdin -y -loglevel error \
        -f lavfi -i "testsrc2=size=1920x1080:rate=1/4:duration=$(($1 * 60)),fps=30,format=yuv420p" \
        -c:v libx264 -preset veryfast -crf 23 "$talk.part.mp4"
    mv "$talk.part.mp4" "$talk"
}

# The peak resident size in KiB that the kernel reports for a process.
peak_of() {
    {
        while read -r key value unit; do
            [ "$key" = "VmHWM:" ] && { echo "$value"; return; }
        done <"/proc/$1/status"
    } 2>/dev/null || true
}

# Runs a command under /usr/bin/time; sets wall (s) and timed_peak (KiB, the
# largest of the process and of every child it waited for: ffmpeg included).
# Also sets own_peak: stillsift's own high-water mark, read from /proc while
# it runs, when the command is stillsift.
timed() {
    /usr/bin/time -o "$work/time.out" -f '%e %M' "$@" >/dev/null 2>&1 &
    timer=$!
    own_peak=0
    child=
    while kill -0 "$timer" 2>/dev/null; do
        if [ -z "$child" ]; then
            set -- $(cat "/proc/$timer/task/$timer/children" 2>/dev/null || true)
            child=${1:-}
        fi
        if [ -n "$child" ]; then
            peak=$(peak_of "$child")
            [ -n "$peak" ] && own_peak=$peak
        fi
        sleep 0.2
    done
    wait "$timer"
    read -r wall timed_peak <"$work/time.out"
}

median() {
    tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

measure() {
    minutes=$1
    make_talk "$minutes"
    frames=$work/frames
    bare_times= stillsift_times= own_peaks= timed_peaks=
    echo "${minutes}-minute talk, 1920x1080, 30 fps, sampled at 1 fps ($((minutes * 60)) frames); $runs runs each:"
    for run in $(seq 1 "$runs"); do
        rm -rf "$frames" && mkdir -p "$frames"
        timed ffmpeg -i "$talk" -vf fps=1 "$frames/frame_%06d.png"
        bare_times="$bare_times $wall"
        bare_peak=$timed_peak
        rm -rf "$frames"
        timed "$stillsift" --input "$talk" --out "$frames"
        stillsift_times="$stillsift_times $wall"
        own_peaks="$own_peaks $own_peak"
        timed_peaks="$timed_peaks $timed_peak"
        printf '  run %s: bare extraction %6.2f s (peak %d MB); stillsift %6.2f s (peak %d MB own, %d MB with ffmpeg)\n' \
            "$run" "$(echo "$bare_times" | awk '{ print $NF }')" $((bare_peak / 1024)) \
            "$wall" $((own_peak / 1024)) $((timed_peak / 1024))
    done
    rm -rf "$frames"
    bare=$(echo "$bare_times" | median)
    whole=$(echo "$stillsift_times" | median)
    peak=$(echo "$own_peaks" | median)
    awk -v bare="$bare" -v whole="$whole" -v peak="$peak" 'BEGIN {
        printf "  median bare extraction  %7.2f s\n", bare
        printf "  median stillsift        %7.2f s\n", whole
        printf "  stillsift / extraction  %7.2f   (target <= 1.15)\n", whole / bare
        printf "  stillsift peak RSS      %7.1f MB (own process, median; target <= 120)\n", peak / 1024
    }'
    echo "$minutes $bare $whole $peak" >>"$work/summary"
    echo
}

: >"$work/summary"
for minutes in "$@"; do
    measure "$minutes"
done
awk 'NR == 1 { m = $1; b = $2; w = $3; p = $4; next }
    { printf "%s min against %s min (x%.1f): bare extraction x%.2f, stillsift x%.2f, stillsift peak RSS x%.2f\n",
          $1, m, $1 / m, $2 / b, $3 / w, $4 / p }' "$work/summary"
grep -m1 'model name' /proc/cpuinfo | sed 's/.*: /CPU: /'
echo "cores: $(nproc); load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
