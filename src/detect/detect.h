// Slide detection: a pixel-difference score between two frames, and the walk
// over the frames that cuts the timeline into slide and video segments and
// picks the one frame each slide keeps.
#pragma once

#include <QImage>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

// How alike two frames are, from 0.0 (nothing alike, or different sizes) to
// 1.0 (the same red, green and blue at every pixel); alpha plays no part.
double frameSimilarity(const QImage &reference, const QImage &candidate);

// One stretch of the timeline, in frame indices (both ends inclusive).
struct Segment {
    int startFrame = 0;
    int endFrame = 0;
    QString keptFrame; // slide: the path of the frame kept as its image
    bool isVideo = false;
    QString videoLabel; // video: "video0001", "video0002", ...
};

struct DetectOptions {
    int fps = 1;
    double threshold = 0.99;
    int videoChanges = 5;
    int videoWindow = 15;
};

struct Timeline {
    QList<Segment> segments;
    QSet<QString> keepSet; // one path per slide segment
};

// Hands out frame i, for i = 0, 1, 2 ... in increasing order; a null image
// stops the walk.
using FrameSource = std::function<QImage(int)>;

// Walks frames 0 .. paths.size()-1 (paths is not empty) and fills *timeline.
// Returns false, with *timeline incomplete, when frameAt yields a null image.
bool segmentTimeline(const QStringList &paths, const FrameSource &frameAt,
                     const DetectOptions &options, Timeline *timeline);
