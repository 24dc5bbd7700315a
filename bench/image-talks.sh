#!/bin/sh
# How close the slide images come to the deck pages they show, on the
# development talks: for each talk, one robust run as it is without the
# slide-image options and one with them, each scored with image_score.py
# (median and 90th percentile of the error, levels 0-255), with the number of
# image files written, and one run with --dedupe added. Also the wall and CPU
# time of each run (stillsift with its ffmpeg) and stillsift's peak memory.
#
# Usage: bench/image-talks.sh [TALK...]
#     (default: screen camera grainy demo webcam hall meeting fades)
#
# Environment: STILLSIFT (default build/src/app/stillsift); TODAY, a binary
# to run for the "today" column instead (default: STILLSIFT); TALKS_DIR
# (default /tmp/stillsift-talks); TALK_TOOLS, the folder of image_score.py
# (default ../shared/talks beside the source tree); OPTIONS, what is measured
# against the plain robust run (default "--crop auto"); BENCH_DIR for the
# output (default build/bench-images); DEDUPE_TALKS, the talks also run with
# --dedupe (default: all); PIPE=1 runs with --pipe; TODAY_DIR, a
# folder with TALK.report and TALK.time (/usr/bin/time -f '%e %U %S %M') of
# earlier plain robust runs, used instead of running them again.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
stillsift=${STILLSIFT:-$root/build/src/app/stillsift}
today=${TODAY:-$stillsift}
talks=${TALKS_DIR:-/tmp/stillsift-talks}
tools=${TALK_TOOLS:-$root/../shared/talks}
options=${OPTIONS:---crop auto}
work=${BENCH_DIR:-$root/build/bench-images}
pipe=
[ "${PIPE:-0}" = 1 ] && pipe=--pipe
[ $# -gt 0 ] || set -- screen camera grainy demo webcam hall meeting fades
[ -x "$stillsift" ] || { echo "no stillsift at $stillsift: build it first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
mkdir -p "$work"

# run NAME BINARY OPTIONS...: one run into $work/NAME; sets wall, cpu, peak
# (MB) and files (slide images written).
run() {
    name=$1 binary=$2
    shift 2
    out=$work/$name
    rm -rf "$out"
    /usr/bin/time -o "$work/time.out" -f '%e %U %S %M' "$binary" --input "$talks/$talk.mp4" \
        --out "$out" --detector robust $pipe "$@" >"$out.report" 2>"$out.stderr" ||
        { echo "$name failed:" >&2; cat "$out.stderr" >&2; exit 1; }
    read -r wall user system peak <"$work/time.out"
    cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.1f", u + s }')
    peak=$((peak / 1024))
    files=$(find "$out" -name 'slide_*.png' | wc -l)
}

# score NAME: "median p90" of image_score.py for the run's report.
score() {
    /usr/bin/python3 "$tools/image_score.py" "$talks/$talk.truth.json" "$work/$1.report" --json |
        /usr/bin/python3 -c 'import json, sys; r = json.load(sys.stdin); print("%.1f %.1f" % (r["median"], r["p90"]))'
}

# The distinct pictures the truth shows: its slides' pages and looks.
distinct() {
    /usr/bin/python3 -c 'import json, sys
t = json.load(open(sys.argv[1]))
print(len({(s.get("deck"), s.get("page"), s.get("look")) for s in t["segments"] if s["kind"] == "slide"}))' \
        "$talks/$talk.truth.json"
}

printf '%-8s %13s %13s %6s %6s %6s %5s %8s %8s %8s %8s\n' talk today_med/p90 opts_med/p90 files dedup truth \
    merged today_s opts_s cpu_x peak_MB
for talk in "$@"; do
    if [ -n "${TODAY_DIR:-}" ] && [ -s "$TODAY_DIR/$talk.report" ]; then
        cp "$TODAY_DIR/$talk.report" "$work/$talk-today.report"
        read -r wall user system peak <"$TODAY_DIR/$talk.time"
        cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.1f", u + s }')
    else
        run "$talk-today" "$today"
    fi
    today_score=$(score "$talk-today") today_wall=$wall today_cpu=$cpu
    run "$talk-opts" "$stillsift" $options
    opts_score=$(score "$talk-opts") opts_wall=$wall opts_cpu=$cpu opts_peak=$peak opts_files=$files
    dedupe_files=- merged=-
    case " ${DEDUPE_TALKS:-$talk} " in
    *" $talk "*)
        run "$talk-dedupe" "$stillsift" $options --dedupe
        dedupe_files=$files
        # Two different pictures merged: an image named for slides that
        # show different pages.
        merged=$(/usr/bin/python3 "$root/bench/merged-pictures.py" "$talks/$talk.truth.json" \
            "$work/$talk-dedupe.report")
        ;;
    esac
    set -- $today_score
    today_med=$1 today_p90=$2
    set -- $opts_score
    printf '%-8s %6s/%-6s %6s/%-6s %6s %6s %6s %5s %8s %8s %8s %8s\n' "$talk" "$today_med" "$today_p90" "$1" "$2" \
        "$opts_files" "$dedupe_files" "$(distinct)" "$merged" "$today_wall" "$opts_wall" \
        "$(awk -v a="$opts_cpu" -v b="$today_cpu" 'BEGIN { printf "%.2f", a / b }')" "$opts_peak"
done
grep -m1 'model name' /proc/cpuinfo | sed 's/.*: /CPU: /'
echo "cores: $(nproc); load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
