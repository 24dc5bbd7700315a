#!/bin/sh
# Decoding less, measured side by side in one pass over one video: ffmpeg's
# own decode-only sampling, then stillsift with the frames from ffmpeg's
# pipe, decoded in the process without skimming (STILLSIFT_SKIM=whole) and skimmed
# (--skim). Prints wall and CPU seconds (user + system, children included),
# peak resident memory, CPU as a share of ffmpeg's, the share of the video's
# frames each decoded, and whether the skimmed run's report is the pipe's.
#
# Usage: bench/skim-bench.sh VIDEO [STILLSIFT [OPTION...]]
# STILLSIFT defaults to build/src/app/stillsift; the options (default
# --detector robust) go to every stillsift run.
set -eu

video=$1
binary=${2:-build/src/app/stillsift}
[ $# -ge 2 ] && shift 2 || shift $#
[ $# -gt 0 ] || set -- --detector robust
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One run under /usr/bin/time: "wall cpu peak-kB" into $work/NAME.time.
measure() {
    name=$1
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/$name.raw" "$@" >"$work/$name.out" 2>"$work/$name.err"
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/$name.raw" >"$work/$name.time"
}

frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
    -of csv=p=0 "$video")

measure ffmpeg ffmpeg -nostdin -v error -i "$video" -vf fps=1 -f null -
measure pipe "$binary" --input "$video" --out "$work/pipe" --pipe "$@"
STILLSIFT_SKIM=whole STILLSIFT_SKIM_COUNTS=1 measure whole "$binary" --input "$video" \
    --out "$work/whole" --skim "$@"
STILLSIFT_SKIM_COUNTS=1 measure skim "$binary" --input "$video" --out "$work/skim" --skim "$@"

base=$(cut -d' ' -f2 "$work/ffmpeg.time")
printf '%-8s %8s %8s %8s %9s %9s\n' run wall_s cpu_s peak_MB cpu/ffmpeg decoded
for name in ffmpeg pipe whole skim; do
    read -r wall cpu peak <"$work/$name.time"
    decoded=$frames
    if grep -q '^decoded ' "$work/$name.err"; then
        decoded=$(sed -n 's/^decoded \([0-9]*\) of .*/\1/p' "$work/$name.err")
    fi
    printf '%-8s %8s %8s %8d %9.3f %8.1f%%\n' "$name" "$wall" "$cpu" $((peak / 1024)) \
        "$(echo "$cpu / $base" | bc -l)" "$(echo "100 * $decoded / $frames" | bc -l)"
done
# The reports name their own output folders: compared without them.
for name in pipe whole skim; do
    sed "s#$work/$name/##" "$work/$name.out" >"$work/$name.report"
done
for name in whole skim; do
    if cmp -s "$work/pipe.report" "$work/$name.report"; then
        echo "$name: the same report as --pipe"
    else
        echo "$name: the report differs from --pipe:"
        diff "$work/pipe.report" "$work/$name.report" | head -20
    fi
done
