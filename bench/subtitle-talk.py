#!/usr/bin/env python3
"""Checks that --subtitles puts every cue's words on the segment that was
showing when they were said, on a development talk with exact truth.

    bench/subtitle-talk.py STILLSIFT TALKS_DIR TALK [OPTION ...]

Writes one cue per truth segment (its words name the segment; it starts a
little after the segment does and, for one in three, runs a little past its
end, as speech does across a change), as a sidecar file and as a subrip
stream in a copy of the video, runs stillsift with each (--format json and
the options given) and prints, per form, how many cues landed on a reported
segment that shows their segment at the cue's middle."""
import json
import os
import subprocess
import sys
import tempfile


def vtt_time(seconds):
    ms = int(round(seconds * 1000))
    return "%02d:%02d:%02d.%03d" % (ms // 3600000, ms // 60000 % 60, ms // 1000 % 60, ms % 1000)


def cues_of(truth):
    cues = []
    for i, segment in enumerate(truth["segments"]):
        start, end = segment["start"], segment["end"]
        length = end - start
        cue_start = start + min(0.5, length / 4)
        # Past the change by less than the cue lies before it.
        cue_end = end + min(0.4, length / 5) if i % 3 == 2 else end - min(0.3, length / 5)
        cues.append((cue_start, cue_end, "cue%d said" % (i + 1)))
    return cues


def run(stillsift, video, subtitles, options, out):
    result = subprocess.run([stillsift, "--input", video, "--out", out, "--subtitles", subtitles,
                             "--format", "json"] + options, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("stillsift failed: " + result.stderr)
    return json.loads(result.stdout)["segments"]


def landed(segments, cues):
    right = 0
    for start, end, words in cues:
        middle = (start + end) / 2
        holder = [s for s in segments if words in s.get("speech", "").split("  ") or
                  (" " + words + " ") in (" " + s.get("speech", "") + " ")]
        if len(holder) == 1 and holder[0]["start"] <= middle < holder[0]["end"]:
            right += 1
    return right


def main():
    stillsift, talks, talk = sys.argv[1:4]
    options = sys.argv[4:]
    truth = json.load(open(os.path.join(talks, talk + ".truth.json")))
    cues = cues_of(truth)
    with tempfile.TemporaryDirectory() as work:
        video = os.path.join(work, talk + ".mp4")
        os.symlink(os.path.abspath(os.path.join(talks, talk + ".mp4")), video)
        sidecar = os.path.join(work, talk + ".vtt")
        with open(sidecar, "w") as f:
            f.write("WEBVTT\n")
            for start, end, words in cues:
                f.write("\n%s --> %s\n%s\n" % (vtt_time(start), vtt_time(end), words))
        stream = os.path.join(work, "captioned.mkv")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", video, "-i", sidecar, "-map", "0",
                        "-map", "1", "-c:v", "copy", "-c:s", "subrip", stream], check=True)
        for form, input_video, subtitles in (("sidecar", video, "auto"),
                                             ("stream", stream, "auto")):
            if form == "stream":
                os.remove(sidecar)
            segments = run(stillsift, input_video, subtitles, options, os.path.join(work, form))
            print("%s %s: %d of %d cues on their segment (%d segments reported)" %
                  (talk, form, landed(segments, cues), len(cues), len(segments)))


main()
