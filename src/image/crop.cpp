#include "image.h"

#include <QLineF>
#include <QStringList>

#include <algorithm>

namespace
{

// Another region must hold in this many frames running before it takes
// over: a page too dark to show its screen, or someone walking past it,
// does not move the slide.
constexpr int framesToMove = 5;

// The region is looked for in every so many frames: a camera moves
// seldom, and looking costs more than cutting.
constexpr int analysisStride = 2;

// Corners that moved this little (a share of the frame's width) have not
// moved: a camera shaking on its tripod keeps its region.
constexpr double stillShare = 0.03;

bool sameRegion(const SlideRegion &a, const SlideRegion &b, int frameWidth)
{
    const double still = std::max(3.0, stillShare * frameWidth);
    for (std::size_t k = 0; k < 4; ++k) {
        if (QLineF(a.corners[k], b.corners[k]).length() > still)
            return false;
    }
    return true;
}

// The region the frames are cut to, followed from frame to frame.
struct RegionTracker {
    std::optional<SlideRegion> current;
    std::optional<SlideRegion> candidate;
    int candidateFrames = 0;
};

void follow(RegionTracker &tracker, const QImage &frame)
{
    const std::optional<SlideRegion> found = findSlideRegion(frame);
    if (!tracker.current) {
        tracker.current = found;
        return;
    }
    if (!found || sameRegion(*found, *tracker.current, frame.width())) {
        tracker.candidate.reset();
        tracker.candidateFrames = 0;
        return;
    }
    if (tracker.candidate && sameRegion(*found, *tracker.candidate, frame.width()))
        ++tracker.candidateFrames;
    else
        tracker.candidateFrames = 1;
    tracker.candidate = found;
    if (tracker.candidateFrames >= framesToMove) {
        // A slide straightened anew keeps its picture's size unless that
        // changed much: the walk takes a new size for a new slide.
        const QSize size = tracker.current->size;
        if (tracker.candidate->rect.isNull() &&
            std::abs(tracker.candidate->size.width() - size.width()) < size.width() / 6 &&
            std::abs(tracker.candidate->size.height() - size.height()) < size.height() / 6)
            tracker.candidate->size = size;
        tracker.current = tracker.candidate;
        tracker.candidate.reset();
        tracker.candidateFrames = 0;
    }
}

FrameSource fixedCrop(FrameSource frames, const QRect &rect, CropReport *report)
{
    return [frames = std::move(frames), rect, report](int i) -> std::optional<QImage> {
        std::optional<QImage> frame = frames(i);
        if (!frame || frame->isNull())
            return frame;
        if (!frame->rect().contains(rect)) {
            report->outsidePicture = true;
            return QImage();
        }
        return frame->copy(rect);
    };
}

FrameSource automaticCrop(FrameSource frames, CropReport *report)
{
    auto tracker = std::make_shared<RegionTracker>();
    return [frames = std::move(frames), tracker, report](int i) -> std::optional<QImage> {
        std::optional<QImage> frame = frames(i);
        if (!frame || frame->isNull())
            return frame;
        if (i % analysisStride == 0 || !tracker->current)
            follow(*tracker, *frame);
        if (tracker->current)
            return straightened(*frame, *tracker->current);
        report->wholeFrameUsed = true;
        return frame;
    };
}

} // namespace

std::optional<CropRequest> cropRequestNamed(const QString &text)
{
    if (text == QLatin1String("auto"))
        return CropRequest{true, {}};
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;
    int values[4] = {};
    for (int k = 0; k < 4; ++k) {
        bool ok = false;
        values[k] = parts.at(k).toInt(&ok, 10);
        if (!ok || parts.at(k).trimmed() != parts.at(k) || values[k] < (k < 2 ? 0 : 1))
            return std::nullopt;
    }
    // The far edges must be pixels an int can name.
    if (qint64(values[0]) + values[2] > INT_MAX || qint64(values[1]) + values[3] > INT_MAX)
        return std::nullopt;
    return CropRequest{false, QRect(values[0], values[1], values[2], values[3])};
}

FrameSource croppedFrames(FrameSource frames, const CropRequest &request, CropReport *report)
{
    if (request.automatic)
        return automaticCrop(std::move(frames), report);
    if (!request.rect.isNull())
        return fixedCrop(std::move(frames), request.rect, report);
    return frames;
}
