#include "detect.h"

namespace
{

// The state of one walk over the frames. In slide mode every frame is
// compared with the one before it; in video mode with the frame of the last
// change, until a long enough run of still frames ends the video.
struct Walk {
    const DetectOptions &options;
    const SlideSink &keepSlide;
    Timeline &timeline;

    QImage reference{};
    int keptFrame = 0;
    QImage keptPicture{}; // the current slide's kept frame, held until the slide closes
    int segmentStart = 0;
    QList<int> changes{};    // recent changes in slide mode, oldest first
    qint64 windowLength = 0; // in frames; 64-bit, as the product can pass INT_MAX
    bool videoMode = false;
    int videoStart = 0;
    int runLength = 0;
    int videoCounter = 1;
};

bool closeSlide(Walk &walk, int endFrame)
{
    return appendSlide(&walk.timeline, walk.segmentStart, endFrame, walk.keptFrame,
                       walk.keptPicture, walk.keepSlide);
}

void closeVideo(Walk &walk, int endFrame)
{
    appendVideo(&walk.timeline, walk.videoStart, endFrame, &walk.videoCounter);
}

void keepFrame(Walk &walk, int i, const QImage &frame)
{
    walk.keptFrame = i;
    walk.keptPicture = frame;
}

bool slideModeChange(Walk &walk, int i, const QImage &frame)
{
    walk.changes.append(i);
    while (!walk.changes.isEmpty() && qint64(i) - walk.changes.first() > walk.windowLength)
        walk.changes.removeFirst();

    if (walk.changes.size() > walk.options.videoChanges) {
        const int firstChange = walk.changes.first();
        const bool kept = closeSlide(walk, firstChange - 1);
        walk.keptPicture = QImage(); // no slide needs it until the video ends
        walk.videoStart = firstChange;
        walk.reference = frame;
        walk.runLength = 1;
        walk.videoMode = true;
        return kept;
    }
    const bool kept = closeSlide(walk, i - 1);
    keepFrame(walk, i, frame);
    walk.reference = frame;
    walk.changes = {i};
    walk.segmentStart = i;
    return kept;
}

void leaveVideoMode(Walk &walk, int i, const QImage &frame)
{
    const int stillStart = i - walk.runLength + 1;
    // The frame at which the picture has been still long enough is the one
    // the next slide keeps, although the slide starts where it settled.
    closeVideo(walk, stillStart - 1);
    keepFrame(walk, i, frame);
    walk.segmentStart = stillStart;
    walk.reference = frame;
    walk.changes.clear();
    walk.videoMode = false;
    walk.runLength = 1;
}

// False when a closed slide could not be kept.
bool step(Walk &walk, int i, const QImage &frame)
{
    const bool like = frameSimilarity(walk.reference, frame) >= walk.options.threshold;
    if (!walk.videoMode) {
        if (!like)
            return slideModeChange(walk, i, frame);
        walk.reference = frame;
    } else if (!like) {
        walk.reference = frame;
        walk.runLength = 1;
    } else if (++walk.runLength >= walk.options.videoWindow) {
        leaveVideoMode(walk, i, frame);
    }
    return true;
}

} // namespace

bool appendSlide(Timeline *timeline, int startFrame, int endFrame, int keptFrame,
                 const QImage &picture, const SlideSink &keepSlide)
{
    if (endFrame < startFrame)
        return true;
    const Segment slide{startFrame, endFrame, keptFrame, false, {}};
    timeline->segments.append(slide);
    timeline->keepSet.insert(keptFrame);
    return !keepSlide || keepSlide(slide, picture);
}

void appendVideo(Timeline *timeline, int startFrame, int endFrame, int *videoNumber)
{
    if (endFrame < startFrame)
        return;
    const QString label = QStringLiteral("video%1").arg(*videoNumber, 4, 10, QLatin1Char('0'));
    timeline->segments.append({startFrame, endFrame, -1, true, label});
    ++*videoNumber;
}

bool segmentTimeline(const FrameSource &frameAt, const DetectOptions &options, Timeline *timeline,
                     const SlideSink &keepSlide)
{
    if (options.detector == Detector::Robust)
        return robustTimeline(frameAt, options, timeline, keepSlide);
    timeline->segments.clear();
    timeline->keepSet.clear();

    const std::optional<QImage> first = frameAt(0);
    if (!first)
        return true;
    if (first->isNull())
        return false;
    Walk walk{options, keepSlide, *timeline};
    walk.reference = *first;
    keepFrame(walk, 0, *first);
    walk.windowLength = qint64(options.videoWindow) * options.fps;

    int i = 1;
    for (;; ++i) {
        const std::optional<QImage> frame = frameAt(i);
        if (!frame)
            break;
        if (frame->isNull() || !step(walk, i, *frame))
            return false;
    }

    if (walk.videoMode) {
        closeVideo(walk, i - 1);
        return true;
    }
    return closeSlide(walk, i - 1);
}
