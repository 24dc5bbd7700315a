// What every room shares: frames as they come from a video, the segments a
// walk over them cuts the talk into, and the record of each segment that the
// later stages fill in and every output reads.
#pragma once

#include <QImage>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

// One stretch of the timeline, in frame indices (both ends inclusive).
struct Segment {
    int startFrame = 0;
    int endFrame = 0;
    int keptFrame = -1; // slide: the frame kept as its image
    bool isVideo = false;
    QString videoLabel; // video: "video0001", "video0002", ...
};

struct Timeline {
    QList<Segment> segments;
    QSet<int> keepSet; // the kept frame of every slide segment
};

// Hands out frame i, for i = 0, 1, 2 ... in increasing order, on one thread.
// No value: there is no frame i, the frames have ended. A null image: frame i
// could not be had (the source keeps the reason), which stops the walk.
using FrameSource = std::function<std::optional<QImage>(int)>;

// The most frames the cleaning of slide pictures holds beyond the walk's
// own: enough for a median that leaves out someone standing in front for a
// while, few enough for memory. A source that reuses the buffers of frames
// it handed out counts them among those still held.
constexpr int framesHeldForCleaning = 7;

// Takes each slide as the walk closes it, in time order, with the picture of
// its kept frame; a slide that would cover no frame is never handed over.
// Returning false (the picture could not be stored) stops the walk.
using SlideSink = std::function<bool(const Segment &slide, const QImage &picture)>;

// One segment of the talk and what the run decided about it, each field set
// by the stage that decides it: the walk the segment, the slide writer (or
// the renaming of kept frames) the image file, dedupe the repeat, the reader
// the words. Every output reads these and works nothing out again.
struct SlideRecord {
    Segment segment{};
    int number = 0;            // slides and videos apart, each from 1 in time order
    QString image{};           // slide: its picture's file, as the reports name it
    int repeatOf = 0;          // slide: the earlier slide whose picture it shows again
    QString text{};            // slide: the words read on its picture, when they were read
    std::optional<int> page{}; // slide: the page of the deck it shows, from 1
    QString speech{};          // the words spoken while it was on screen

    bool isVideo() const { return segment.isVideo; }
};

// Takes each slide's record with the picture it is to show, in time order;
// a stage fills in what it decides and hands both on. Returning false (the
// picture could not be stored) stops the walk.
using RecordSink = std::function<bool(SlideRecord &slide, const QImage &picture)>;
