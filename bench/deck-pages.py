#!/usr/bin/env python3
"""Page accuracy of a run with --deck against a development talk's truth.

    deck-pages.py TRUTH.json DECK REPORT.json [--json]

DECK is the key of the deck the run was given, as the truth's "decks" names
it (conf, lect). REPORT is the run's --format json report. Each reported
slide is held against the truth segment it overlaps most: it should name
that segment's page when the segment shows a page of DECK, and no page when
it shows another deck's page or a moving stretch. Accuracy is the share of
reported slides that do; builds (pages whose segment came by a "build"
change) are counted apart as well. A slide the detector left spanning
several truth segments (a missed change) shows one of their pages, which the
report cannot tell: "spanned" also counts a slide right that names the page
of any segment it covers for at least a second.
"""
import json
import sys


def overlap(a0, a1, b0, b1):
    return max(0.0, min(a1, b1) - max(a0, b0))


def expected_page(truth, deck, start, end):
    best, best_overlap = None, 0.0
    for segment in truth["segments"]:
        o = overlap(start, end, segment["start"], segment["end"])
        if o > best_overlap:
            best, best_overlap = segment, o
    if best is None or best.get("kind") != "slide" or best.get("deck") != deck:
        return None, best
    return best.get("page"), best


def spanned_pages(truth, deck, start, end):
    pages = set()
    for segment in truth["segments"]:
        if overlap(start, end, segment["start"], segment["end"]) >= 1.0:
            pages.add(segment.get("page") if segment.get("kind") == "slide" and segment.get("deck") == deck else None)
    return pages


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 3:
        sys.exit(__doc__)
    truth = json.load(open(args[0]))
    deck = args[1]
    report = json.load(open(args[2]))
    rows = []
    for segment in report["segments"]:
        if segment["kind"] != "slide":
            continue
        want, truth_segment = expected_page(truth, deck, segment["start"], segment["end"])
        got = segment.get("page")
        rows.append({"index": segment["index"], "start": segment["start"], "want": want,
                     "got": got, "spanned": got in spanned_pages(truth, deck, segment["start"], segment["end"]), "build": bool(truth_segment and truth_segment.get("change") == "build")})
    right = sum(1 for r in rows if r["want"] == r["got"])
    builds = [r for r in rows if r["build"]]
    wrong = [r for r in rows if r["want"] != r["got"]]
    result = {"slides": len(rows), "right": right,
              "accuracy": right / len(rows) if rows else 1.0,
              "spannedAccuracy": sum(1 for r in rows if r["want"] == r["got"] or r["spanned"]) / len(rows) if rows else 1.0,
              "builds": len(builds), "buildsRight": sum(1 for r in builds if r["want"] == r["got"]),
              "wrong": wrong}
    if "--json" in sys.argv:
        print(json.dumps(result, indent=1))
        return
    print("slides %d  right %d  accuracy %.3f  spanned %.3f  builds %d/%d" % (
        result["slides"], right, result["accuracy"], result["spannedAccuracy"], result["buildsRight"], result["builds"]))
    for r in wrong[:8]:
        print("  slide %d at %.1f s: page %s, truth %s" % (r["index"], r["start"], r["got"], r["want"]))


if __name__ == "__main__":
    main()
