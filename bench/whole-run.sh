#!/bin/sh
# Whole runs on a generated 1080p, 30 fps talk: the bare frame extraction
# that stillsift starts (ffmpeg -i V -vf fps=1 DIR/frame_%06d.png) against
# stillsift --input V --out DIR and stillsift --pipe, in turn, RUNS times
# each. Prints for each the median wall time and CPU time (user + system,
# ffmpeg included), their ratios to the extraction, and stillsift's own peak
# resident memory.
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

# Runs a command under /usr/bin/time; sets wall (s), cpu (s, user + system
# of the process and of every child it waited for: ffmpeg included) and
# timed_peak (KiB, the largest of the process and of those children).
# Also sets own_peak: stillsift's own high-water mark, read from /proc while
# it runs, when the command is stillsift.
timed() {
    /usr/bin/time -o "$work/time.out" -f '%e %M %U %S' "$@" >/dev/null 2>&1 &
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
    read -r wall timed_peak user system <"$work/time.out"
    cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
}

median() {
    tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

measure() {
    minutes=$1
    make_talk "$minutes"
    frames=$work/frames
    bare_walls= bare_cpus= file_walls= file_cpus= file_peaks= pipe_walls= pipe_cpus= pipe_peaks=
    echo "${minutes}-minute talk, 1920x1080, 30 fps, sampled at 1 fps ($((minutes * 60)) frames); $runs runs each:"
    for run in $(seq 1 "$runs"); do
        rm -rf "$frames" && mkdir -p "$frames"
        timed ffmpeg -i "$talk" -vf fps=1 "$frames/frame_%06d.png"
        bare_walls="$bare_walls $wall" bare_cpus="$bare_cpus $cpu"
        printf '  run %s: bare extraction %6.2f s, CPU %6.2f s\n' "$run" "$wall" "$cpu"
        rm -rf "$frames"
        timed "$stillsift" --input "$talk" --out "$frames"
        file_walls="$file_walls $wall" file_cpus="$file_cpus $cpu" file_peaks="$file_peaks $own_peak"
        printf '         stillsift       %6.2f s, CPU %6.2f s, peak %d MB own, %d MB with ffmpeg\n' \
            "$wall" "$cpu" $((own_peak / 1024)) $((timed_peak / 1024))
        rm -rf "$frames"
        timed "$stillsift" --input "$talk" --out "$frames" --pipe
        pipe_walls="$pipe_walls $wall" pipe_cpus="$pipe_cpus $cpu" pipe_peaks="$pipe_peaks $own_peak"
        printf '         stillsift --pipe %6.2f s, CPU %6.2f s, peak %d MB own, %d MB with ffmpeg\n' \
            "$wall" "$cpu" $((own_peak / 1024)) $((timed_peak / 1024))
    done
    rm -rf "$frames"
    bare=$(echo "$bare_walls" | median) bare_cpu=$(echo "$bare_cpus" | median)
    files=$(echo "$file_walls" | median) files_cpu=$(echo "$file_cpus" | median)
    files_peak=$(echo "$file_peaks" | median)
    piped=$(echo "$pipe_walls" | median) piped_cpu=$(echo "$pipe_cpus" | median)
    piped_peak=$(echo "$pipe_peaks" | median)
    awk -v b="$bare" -v bc="$bare_cpu" -v f="$files" -v fc="$files_cpu" -v fp="$files_peak" \
        -v p="$piped" -v pc="$piped_cpu" -v pp="$piped_peak" 'BEGIN {
        printf "  medians            wall              CPU               own peak\n"
        printf "  bare extraction %7.2f s         %7.2f s\n", b, bc
        printf "  stillsift       %7.2f s (x%.2f) %7.2f s (x%.2f) %6.1f MB\n", f, f / b, fc, fc / bc, fp / 1024
        printf "  stillsift --pipe%7.2f s (x%.2f) %7.2f s (x%.2f) %6.1f MB\n", p, p / b, pc, pc / bc, pp / 1024
        printf "  targets: stillsift x1.15 wall; --pipe x0.6 wall and CPU; peak <= 120 MB\n"
    }'
    echo "$minutes $bare $files $files_peak $piped $piped_peak" >>"$work/summary"
    echo
}

: >"$work/summary"
for minutes in "$@"; do
    measure "$minutes"
done
awk 'NR == 1 { m = $1; b = $2; f = $3; fp = $4; p = $5; pp = $6; next }
    { printf "%s min against %s min (x%.1f): bare extraction x%.2f, stillsift x%.2f (peak x%.2f), --pipe x%.2f (peak x%.2f)\n",
          $1, m, $1 / m, $2 / b, $3 / f, $4 / fp, $5 / p, $6 / pp }' "$work/summary"
grep -m1 'model name' /proc/cpuinfo | sed 's/.*: /CPU: /'
echo "cores: $(nproc); load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
