#!/usr/bin/env python3
"""How many slide images of a stillsift text report stand for more than one
picture of the truth: each slide line is matched to the truth segment it
overlaps most, and an image named by lines of different pages (or looks) of
the deck counts once.

    merged-pictures.py TRUTH.json REPORT      (prints the count)
"""
import json
import os
import sys

sys.path.insert(0, os.environ.get("TALK_TOOLS", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "talks")))
from image_score import best_segment, segment_page  # noqa: E402
from score import parse_result  # noqa: E402

truth = json.load(open(sys.argv[1]))
_, segments, _ = parse_result(open(sys.argv[2]).read())
pictures = {}
for s in segments:
    if s["is_video"]:
        continue
    seg = best_segment(s["start"], s["end"], truth["segments"])
    if seg is not None and seg["kind"] == "slide":
        pictures.setdefault(s["label"].strip(), set()).add(segment_page(seg))
print(sum(1 for pages in pictures.values() if len(pages) > 1))
