#!/bin/sh
# Page accuracy of --deck over the development talks: each talk with the
# deck most of its slides come from, both detectors, with and without
# --crop auto, as deck-pages.py scores it; and the CPU time of each run
# beside the same run without --deck (with PLAIN=1; else only the deck run).
#
# Usage: bench/deck-talks.sh [TALK...]
#        (default: screen camera grainy demo webcam hall meeting fades)
#
# Environment: STILLSIFT (default build/src/app/stillsift); TALKS_DIR
# (default /tmp/stillsift-talks); DECK_DIR, where the decks the truth names
# are (default /usr/share/doc/texlive-doc/latex/beamer); DETECTORS (default
# "pixel robust"); CROPS (default "none auto"); BENCH_DIR for the reports
# (default build/bench-deck). Runs use --pipe.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
stillsift=${STILLSIFT:-$root/build/src/app/stillsift}
talks=${TALKS_DIR:-/tmp/stillsift-talks}
decks=${DECK_DIR:-/usr/share/doc/texlive-doc/latex/beamer}
detectors=${DETECTORS:-pixel robust}
crops=${CROPS:-none auto}
work=${BENCH_DIR:-$root/build/bench-deck}
[ $# -gt 0 ] || set -- screen camera grainy demo webcam hall meeting fades
[ -x "$stillsift" ] || { echo "no stillsift at $stillsift: build it first" >&2; exit 1; }
mkdir -p "$work"

# The key and the file of the deck most of a talk's slides show.
main_deck() {
    python3 -c '
import collections, json, sys
t = json.load(open(sys.argv[1]))
key = collections.Counter(s["deck"] for s in t["segments"] if s.get("deck")).most_common(1)[0][0]
print(key, t["decks"][key])' "$1"
}

printf '%-8s %-7s %-5s %-5s %7s %9s %8s %7s %8s %8s\n' talk detector crop deck slides accuracy spanned builds cpu_s deck_cpu_s
for talk in "$@"; do
    set -- $(main_deck "$talks/$talk.truth.json")
    key=$1
    pdf=$decks/$2
    for detector in $detectors; do
        for crop in $crops; do
            cropArg=
            [ "$crop" = auto ] && cropArg="--crop auto"
            out=$work/$talk-$detector-$crop
            cpu_plain=-
            runs=deck
            [ "${PLAIN:-0}" = 1 ] && runs="plain deck"
            for deckRun in $runs; do
                rm -rf "$out-$deckRun"
                deckArg=
                [ $deckRun = deck ] && deckArg="--deck $pdf"
                /usr/bin/time -o "$work/time.out" -f '%U %S' \
                    "$stillsift" --input "$talks/$talk.mp4" --out "$out-$deckRun" --pipe \
                    --detector "$detector" $cropArg $deckArg --format json \
                    >"$out-$deckRun.json" 2>"$work/stderr.out" || cat "$work/stderr.out" >&2
                eval "cpu_$deckRun=$(awk '{ print $1 + $2 }' "$work/time.out")"
            done
            python3 "$root/bench/deck-pages.py" "$talks/$talk.truth.json" "$key" "$out-deck.json" \
                --json >"$out.score"
            python3 -c '
import json, sys
s = json.load(open(sys.argv[1]))
print("%-8s %-7s %-5s %-5s %7d %9.3f %8.3f %7s %8s %8s" % (sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5],
      s["slides"], s["accuracy"], s["spannedAccuracy"], "%d/%d" % (s["buildsRight"], s["builds"]), sys.argv[6], sys.argv[7]))' \
                "$out.score" "$talk" "$detector" "$crop" "$key" "$cpu_plain" "$cpu_deck"
        done
    done
done
