#include "detect.h"

namespace
{

// The state of one walk over the frames. In slide mode every frame is
// compared with the one before it; in video mode with the frame of the last
// change, until a long enough run of still frames ends the video.
struct Walk {
    const QStringList &paths;
    const DetectOptions &options;
    Timeline &timeline;

    QImage reference{};
    QString referencePath{};
    int segmentStart = 0;
    QList<int> changes{};    // recent changes in slide mode, oldest first
    qint64 windowLength = 0; // in frames; 64-bit, as the product can pass INT_MAX
    bool videoMode = false;
    int videoStart = 0;
    int runLength = 0;
    int videoCounter = 1;
};

// A slide that would cover no frame (its first change also opened it) is
// left out, and so is its kept frame.
void closeSlide(Walk &walk, int endFrame)
{
    if (endFrame < walk.segmentStart)
        return;
    walk.timeline.segments.append({walk.segmentStart, endFrame, walk.referencePath, false, {}});
    walk.timeline.keepSet.insert(walk.referencePath);
}

// A video that would cover no frame takes no label number.
void closeVideo(Walk &walk, int endFrame)
{
    if (endFrame < walk.videoStart)
        return;
    const QString label = QStringLiteral("video%1").arg(walk.videoCounter, 4, 10, QLatin1Char('0'));
    walk.timeline.segments.append({walk.videoStart, endFrame, QString(), true, label});
    ++walk.videoCounter;
}

void slideModeChange(Walk &walk, int i, const QImage &frame)
{
    walk.changes.append(i);
    while (!walk.changes.isEmpty() && qint64(i) - walk.changes.first() > walk.windowLength)
        walk.changes.removeFirst();

    if (walk.changes.size() > walk.options.videoChanges) {
        const int firstChange = walk.changes.first();
        closeSlide(walk, firstChange - 1);
        walk.videoStart = firstChange;
        walk.reference = frame;
        walk.runLength = 1;
        walk.videoMode = true;
        return;
    }
    closeSlide(walk, i - 1);
    walk.referencePath = walk.paths.at(i);
    walk.reference = frame;
    walk.changes = {i};
    walk.segmentStart = i;
}

void leaveVideoMode(Walk &walk, int i, const QImage &frame)
{
    const int stillStart = i - walk.runLength + 1;
    // The frame at which the picture has been still long enough is the one
    // the next slide keeps, although the slide starts where it settled.
    closeVideo(walk, stillStart - 1);
    walk.referencePath = walk.paths.at(i);
    walk.segmentStart = stillStart;
    walk.reference = frame;
    walk.changes.clear();
    walk.videoMode = false;
    walk.runLength = 1;
}

void step(Walk &walk, int i, const QImage &frame)
{
    const bool like = frameSimilarity(walk.reference, frame) >= walk.options.threshold;
    if (!walk.videoMode) {
        if (like)
            walk.reference = frame;
        else
            slideModeChange(walk, i, frame);
    } else if (!like) {
        walk.reference = frame;
        walk.runLength = 1;
    } else if (++walk.runLength >= walk.options.videoWindow) {
        leaveVideoMode(walk, i, frame);
    }
}

} // namespace

bool segmentTimeline(const QStringList &paths, const FrameSource &frameAt,
                     const DetectOptions &options, Timeline *timeline)
{
    const int frameCount = int(paths.size());
    timeline->segments.clear();
    timeline->segments.reserve(frameCount);
    timeline->keepSet.clear();

    Walk walk{paths, options, *timeline};
    walk.reference = frameAt(0);
    if (walk.reference.isNull())
        return false;
    walk.referencePath = paths.at(0);
    walk.windowLength = qint64(options.videoWindow) * options.fps;

    for (int i = 1; i < frameCount; ++i) {
        const QImage frame = frameAt(i);
        if (frame.isNull())
            return false;
        step(walk, i, frame);
    }

    if (walk.videoMode)
        closeVideo(walk, frameCount - 1);
    else
        closeSlide(walk, frameCount - 1);
    return true;
}
