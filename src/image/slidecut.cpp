// The slide's region chosen for each slide from its own frames once the
// walk has closed it. The walk compares whole frames, so the timeline is
// the same whatever the search finds: a region found again, moved a little
// or lost for a while can make no change and end no clip.
#include "image.h"

#include <QLineF>

#include <algorithm>

struct SlideCutter {
    std::optional<SlideRegion> current;
    CropReport *report = nullptr;
};

namespace
{

// A few frames spread over a slide are searched: the lecturer in front of
// the slide, or a page too dark to stand out, hides it in some of them.
constexpr int framesSearched = 4;

// Corners that moved this little (a share of the frame's width) have not
// moved: a camera shaking on its tripod keeps its region, and the slide's
// picture keeps its size from slide to slide.
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

// The regions found in frames spread over the slide, the first (its kept
// frame) always among them.
QList<SlideRegion> regionsIn(const QList<QImage> &frames, int searched)
{
    QList<SlideRegion> found;
    const int count = int(frames.size());
    for (int k = 0; k < searched; ++k) {
        const int index = searched > 1 ? k * (count - 1) / (searched - 1) : 0;
        if (const std::optional<SlideRegion> region = findSlideRegion(frames.at(index)))
            found.append(*region);
    }
    return found;
}

// The index of the region in found that most others agree with, and how
// many agree with it (itself counted); the earliest of equals.
std::pair<qsizetype, int> bestSupported(const QList<SlideRegion> &found, int frameWidth)
{
    std::pair<qsizetype, int> best{0, 0};
    for (qsizetype k = 0; k < found.size(); ++k) {
        const int support = int(std::count_if(found.begin(), found.end(), [&](const auto &other) {
            return sameRegion(found.at(k), other, frameWidth);
        }));
        if (support > best.second)
            best = {k, support};
    }
    return best;
}

// The region the cutter holds, taken anew from a slide's frames only when
// more than half of those searched agree on another one (the camera
// moved); a region found nowhere, or where it was, leaves it as it is.
void follow(SlideCutter &cutter, const QList<QImage> &frames)
{
    const int width = frames.first().width();
    // Most slides show the region where it was: their kept frame says so,
    // and searching one frame costs as much as cutting all of them.
    if (cutter.current) {
        const std::optional<SlideRegion> kept = findSlideRegion(frames.first());
        if (kept && sameRegion(*kept, *cutter.current, width))
            return;
    }
    const int searched = std::min(int(frames.size()), framesSearched);
    const QList<SlideRegion> found = regionsIn(frames, searched);
    if (found.isEmpty())
        return;
    const auto [best, support] = bestSupported(found, width);
    SlideRegion chosen = found.at(best);
    if (cutter.current) {
        if (sameRegion(chosen, *cutter.current, width) || 2 * support <= searched)
            return;
        // A slide straightened anew keeps its picture's size unless that
        // changed much: pictures of one size compare as the same slide.
        const QSize size = cutter.current->size;
        if (chosen.rect.isNull() &&
            std::abs(chosen.size.width() - size.width()) < size.width() / 6 &&
            std::abs(chosen.size.height() - size.height()) < size.height() / 6)
            chosen.size = size;
    }
    cutter.current = chosen;
}

} // namespace

std::shared_ptr<SlideCutter> slideCutter(CropReport *report)
{
    auto cutter = std::make_shared<SlideCutter>();
    cutter->report = report;
    return cutter;
}

QList<QImage> cutToSlide(SlideCutter &cutter, const QList<QImage> &frames)
{
    if (frames.isEmpty())
        return frames;
    follow(cutter, frames);
    if (!cutter.current) {
        cutter.report->wholeFrameUsed = true;
        return frames;
    }
    QList<QImage> cut;
    for (qsizetype k = 0; k < frames.size(); ++k) {
        // Copies of one frame (a still screen's) are cut once.
        const bool copy = k > 0 && frames.at(k).cacheKey() == frames.at(k - 1).cacheKey();
        cut.append(copy ? cut.last() : straightened(frames.at(k), *cutter.current));
    }
    return cut;
}

RecordSink cuttingSlides(RecordSink next, std::shared_ptr<SettledFrames> settled,
                         std::shared_ptr<SlideCutter> cutter)
{
    return [next = std::move(next), settled, cutter](SlideRecord &slide, const QImage &picture) {
        const QList<QImage> frames =
            cutToSlide(*cutter, takeSlideFrames(*settled, slide.segment, picture));
        return next(slide, frames.first());
    };
}
