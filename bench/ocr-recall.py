#!/usr/bin/env python3
"""Word recall of the slide text that `stillsift --ocr` reads.

    ocr-recall.py TRUTH.json REPORT.json [--texts TEXTS.json] [--deck-dir DIR] [--show N]

REPORT.json is a `--format json` report of a run with `--ocr`. Each reported
slide is matched to the truth segment it overlaps most; the words of that
segment's deck page, as pdftotext reads them from the deck, are the words
the slide should give. A word is 3 or more letters, compared without case
(and with ligatures and accents in one normal form). Each truth page counts
once, through the reported slide that overlaps it most. It also prints how
many of the words read are on the page (precision: what is read but not
there is noise), and how many tokens hold no letter or digit at all (bullets
and rules read as symbols). --texts takes the
words of each image from bench_ocr's output instead of the report. Prints the recall
over all matched pages together, and the pages that lose the most words.
"""
import argparse
import json
import re
import subprocess
import unicodedata
from pathlib import Path

WORD = re.compile(r"[^\W\d_]{3,}")


def words(text):
    return set(WORD.findall(unicodedata.normalize("NFKC", text).casefold()))


def page_words(deck, page, cache={}):
    key = (deck, page)
    if key not in cache:
        text = subprocess.run(["pdftotext", "-f", str(page), "-l", str(page), str(deck), "-"],
                              check=True, capture_output=True, text=True).stdout
        cache[key] = words(text)
    return cache[key]


def overlap(a, b):
    return min(a["end"], b["end"]) - max(a["start"], b["start"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("truth")
    parser.add_argument("report")
    parser.add_argument("--deck-dir", default="/usr/share/doc/texlive-doc/latex/beamer")
    parser.add_argument("--show", type=int, default=3)
    parser.add_argument("--texts")
    args = parser.parse_args()

    truth = json.load(open(args.truth))
    report = json.load(open(args.report))
    slides = [s for s in report["segments"] if s["kind"] == "slide"]
    if args.texts:
        texts = json.load(open(args.texts))
        for slide in slides:
            slide["text"] = texts.get(slide["image"], "")
    truth_slides = [s for s in truth["segments"] if s["kind"] == "slide"]

    # The reported slide that overlaps each truth segment most.
    best = {}
    for slide in slides:
        for index, segment in enumerate(truth_slides):
            shared = overlap(slide, segment)
            if shared > 0 and shared > best.get(index, (0, None))[0]:
                best[index] = (shared, slide)

    found = total = 0
    read_total = read_on_page = symbols = 0
    losses = []
    for index, (_, slide) in sorted(best.items()):
        segment = truth_slides[index]
        deck = Path(args.deck_dir) / truth["decks"][segment["deck"]]
        expected = page_words(deck, segment["page"])
        read = words(slide.get("text", ""))
        hit = expected & read
        read_total += len(read)
        read_on_page += len(read & expected)
        symbols += sum(1 for token in slide.get("text", "").split()
                       if not any(c.isalnum() for c in token))
        found += len(hit)
        total += len(expected)
        losses.append((len(expected) - len(hit), segment["slide_id"], slide["image"],
                       sorted(expected - read)))

    print(f"pages matched: {len(best)} of {len(truth_slides)} truth slide segments")
    print(f"word recall: {found}/{total} = {found / max(total, 1):.3f}")
    print(f"word precision: {read_on_page}/{read_total} = {read_on_page / max(read_total, 1):.3f}")
    print(f"tokens without a letter or digit: {symbols}")
    for lost, slide_id, image, missing in sorted(losses, reverse=True)[:args.show]:
        print(f"  {slide_id} ({image}): {lost} lost: {' '.join(missing[:12])}")


if __name__ == "__main__":
    main()
