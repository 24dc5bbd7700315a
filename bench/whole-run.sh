#!/bin/sh
# Whole runs on a talk, side by side, RUNS times each: the bare frame
# extraction that stillsift starts (ffmpeg -i V -vf fps=1 DIR/frame_%06d.png),
# ffmpeg decoding and writing the PPM stream that --pipe reads to /dev/null,
# then stillsift --input V --out DIR, stillsift --pipe and
# stillsift --pipe --detector robust. Prints for each the median wall time
# and CPU time (user + system, ffmpeg included), stillsift's wall time against
# the extraction, the --pipe runs' CPU against ffmpeg's PPM run, and
# stillsift's own peak resident memory.
#
# Usage: bench/whole-run.sh [MINUTES | VIDEO]...     (default: 3)
# A number is a generated 1080p, 30 fps talk of that many minutes; anything
# else a video file. With several (bench/whole-run.sh 3 12) it also prints how
# time and memory grow from the first to each other one.
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

# Runs one way of a whole run (see measure) and keeps its numbers under the
# name given; stillsift's runs start without an output directory.
run_way() {
    name=$1
    shift
    rm -rf "$frames"
    case $name in bare) mkdir -p "$frames" ;; esac
    timed "$@"
    eval "${name}_walls=\"\${${name}_walls:-} $wall\" ${name}_cpus=\"\${${name}_cpus:-} $cpu\""
    eval "${name}_peaks=\"\${${name}_peaks:-} $own_peak\""
    printf '  %-24s %7.2f s, CPU %7.2f s, peak %4d MB own, %4d MB with ffmpeg\n' \
        "$label" "$wall" "$cpu" $((own_peak / 1024)) $((timed_peak / 1024))
}

# The medians of one way: wall, CPU and own peak, as "W C P".
medians_of() {
    eval "echo \$(echo \"\$${1}_walls\" | median) \$(echo \"\$${1}_cpus\" | median) \$(echo \"\$${1}_peaks\" | median)"
}

measure() {
    talk=$1
    frames=$work/frames
    bare_walls= bare_cpus= bare_peaks= ppm_walls= ppm_cpus= ppm_peaks= files_walls= files_cpus=
    files_peaks= pipe_walls= pipe_cpus= pipe_peaks= robust_walls= robust_cpus= robust_peaks=
    echo "$talk, sampled at 1 fps; $runs runs each:"
    for run in $(seq 1 "$runs"); do
        echo " run $run"
        label="bare extraction" run_way bare ffmpeg -i "$talk" -vf fps=1 "$frames/frame_%06d.png"
        # What ffmpeg alone costs to decode and send the frames that --pipe reads.
        label="ffmpeg PPM to /dev/null" run_way ppm sh -c \
            'exec ffmpeg -i "$1" -vf fps=1 -f image2pipe -c:v ppm pipe:1 >/dev/null' sh "$talk"
        label="stillsift" run_way files "$stillsift" --input "$talk" --out "$frames"
        label="stillsift --pipe" run_way pipe "$stillsift" --input "$talk" --out "$frames" --pipe
        label="robust --pipe" run_way robust "$stillsift" --input "$talk" --out "$frames" \
            --pipe --detector robust
    done
    rm -rf "$frames"
    awk -v bare="$(medians_of bare)" -v ppm="$(medians_of ppm)" -v files="$(medians_of files)" \
        -v pipe="$(medians_of pipe)" -v robust="$(medians_of robust)" 'BEGIN {
        split(bare, b); split(ppm, f); split(files, s); split(pipe, p); split(robust, r)
        printf "  medians                   wall                CPU      own peak    CPU / PPM\n"
        printf "  bare extraction         %7.2f s         %7.2f s\n", b[1], b[2]
        printf "  ffmpeg PPM to /dev/null %7.2f s         %7.2f s\n", f[1], f[2]
        printf "  stillsift               %7.2f s (x%.3f) %7.2f s %6.1f MB\n", s[1], s[1] / b[1], s[2], s[3] / 1024
        printf "  stillsift --pipe        %7.2f s         %7.2f s %6.1f MB   x%.3f\n", p[1], p[2], p[3] / 1024, p[2] / f[2]
        printf "  robust --pipe           %7.2f s         %7.2f s %6.1f MB   x%.3f\n", r[1], r[2], r[3] / 1024, r[2] / f[2]
        printf "  targets: stillsift wall <= x1.15 the bare extraction; --pipe CPU <= x1.10 ffmpeg PPM\n"
    }'
    echo "$(medians_of bare) $(medians_of files) $(medians_of pipe)" >>"$work/summary"
    echo
}

: >"$work/summary"
for given in "$@"; do
    case $given in
    *[!0-9]*) measure "$given" ;;
    *) make_talk "$given" && measure "$work/talk-${given}min.mp4" ;;
    esac
done
# Fields: bare wall, CPU, peak; stillsift wall, CPU, peak; --pipe wall, CPU, peak.
awk 'NR == 1 { b = $1; f = $4; fp = $6; p = $7; pp = $9; next }
    { printf "talk %d against talk 1: bare extraction x%.2f, stillsift x%.2f (peak x%.2f), --pipe x%.2f (peak x%.2f)\n",
          NR, $1 / b, $4 / f, $6 / fp, $7 / p, $9 / pp }' "$work/summary"
grep -m1 'model name' /proc/cpuinfo | sed 's/.*: /CPU: /'
echo "cores: $(nproc); load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
