// Running a walk over frames held in memory, recording what it asked for
// and what it handed over: shared by the tests of both detectors.
#pragma once

#include "detect.h"

#include <QImage>
#include <QList>

#include <optional>

// Runs the walk over frames, recording which frames it asked for and the
// slides it handed over, with the pictures they kept.
struct Run {
    bool ok = false;
    Timeline timeline;
    QList<int> requested;
    QList<Segment> handedOver;
    QList<QImage> pictures;
};

// nullAt: a frame that cannot be had; refuseAfter: how many slides the sink
// takes before it refuses one (-1: all of them).
inline Run runWalk(const QList<QImage> &frames, const DetectOptions &options, int nullAt = -1,
                   int refuseAfter = -1)
{
    Run run;
    const FrameSource source = [&](int i) -> std::optional<QImage> {
        run.requested.append(i);
        if (i >= frames.size())
            return std::nullopt;
        return i == nullAt ? QImage() : frames.at(i);
    };
    const SlideSink sink = [&](const Segment &slide, const QImage &picture) {
        if (run.handedOver.size() == refuseAfter)
            return false;
        run.handedOver.append(slide);
        run.pictures.append(picture);
        return true;
    };
    run.ok = segmentTimeline(source, options, &run.timeline, sink);
    return run;
}
