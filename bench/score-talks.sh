#!/bin/sh
# Both detectors over the development talks: the score of each run (as
# score.py prints it) and the time of each whole run, wall and CPU
# (stillsift together with the ffmpeg it starts).
#
# Usage: bench/score-talks.sh [TALK...]
#        (default: screen camera grainy demo webcam hall meeting fades)
#
# Environment: STILLSIFT (default build/src/app/stillsift); TALKS_DIR, where
# the talks are, made with make-talks.sh when missing (default
# /tmp/stillsift-talks); TALK_TOOLS, the folder of make-talks.sh and score.py
# (default ../shared/talks beside the source tree); DETECTORS (default
# "pixel robust"); BENCH_DIR for the reports (default build/bench-talks);
# PIPE=1 runs stillsift with --pipe (the same slides, faster on long talks).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
stillsift=${STILLSIFT:-$root/build/src/app/stillsift}
talks=${TALKS_DIR:-/tmp/stillsift-talks}
tools=${TALK_TOOLS:-$root/../shared/talks}
detectors=${DETECTORS:-pixel robust}
work=${BENCH_DIR:-$root/build/bench-talks}
[ $# -gt 0 ] || set -- screen camera grainy demo webcam hall meeting fades
pipe=
[ "${PIPE:-0}" = 1 ] && pipe=--pipe
[ -x "$stillsift" ] || { echo "no stillsift at $stillsift: build it first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
mkdir -p "$work"

for talk in "$@"; do
    [ -s "$talks/$talk.mp4" ] || "$tools/make-talks.sh" "$talks" "$talk"
done

printf '%-7s %-7s %7s %9s %6s %6s %6s %7s %7s %8s %8s\n' talk detector slides precision recall F1 builds moving junk wall_s cpu_s
for talk in "$@"; do
    for detector in $detectors; do
        out=$work/$talk-$detector
        rm -rf "$out"
        /usr/bin/time -o "$work/time.out" -f '%e %U %S' \
            "$stillsift" --input "$talks/$talk.mp4" --out "$out" --detector "$detector" $pipe \
            >"$out.report" 2>"$work/stderr.out"
        read -r wall user system <"$work/time.out"
        python3 "$tools/score.py" "$talks/$talk.truth.json" "$out.report" --json >"$out.score.json"
        python3 - "$out.score.json" "$talk" "$detector" "$wall" "$user" "$system" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
talk, detector, wall, user, system = sys.argv[2:]
builds = s["recall_by_kind"].get("build")
moving = "%d/%d" % (s["moving_handled"], s["moving_true"]) if s["moving_true"] else "-"
print("%-7s %-7s %3d/%-3d %9.3f %6.3f %6.3f %6s %6s %7s %8.1f %8.1f" % (
    talk, detector, s["slides_detected"], s["slides_true"], s["precision"], s["recall"], s["f1"],
    "%d/%d" % (builds["found"], builds["true"]) if builds else "-", moving,
    s["junk_slides"] if s["moving_true"] else "-", float(wall), float(user) + float(system)))
PY
        rm -rf "$out"
    done
done
grep -m1 'model name' /proc/cpuinfo | sed 's/.*: /CPU: /'
echo "cores: $(nproc); load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
