// Small changes in doubt, and the slides held back while they are: a small
// change is a change of slide unless the same region goes on to show yet
// another picture (subtitles), or it turns out to lie outside where slides
// change (a call's speaker border). A region that shows again what it
// showed before is a build taken back: two changes of slide.
#include "detect.h"
#include "robust_internal.h"

#include <algorithm>
#include <cmath>

namespace robust
{

namespace
{

// A doubt lies over the same region as a change when this share of each
// one's blocks lies on the other's, or next to them: a line written over,
// not a line added below it or a new page around it.
constexpr double sameRegionShare = 0.5;

// What is left of one move of a block, faded, for as long as a doubt waits
// at least.
constexpr float movedAgainScore = 0.5f;

bool overlapsDoubt(const Doubt &doubt, const std::vector<unsigned char> &blocks,
                   const BlockGrid &grid)
{
    return overlap(blocks, grownMask(doubt.blocks, grid.columns, grid.rows)) >= sameRegionShare &&
           overlap(doubt.blocks, grownMask(blocks, grid.columns, grid.rows)) >= sameRegionShare;
}

std::optional<Doubt> &doubtSlot(HeldOutput &out, OpenSlide &slide, DoubtIndex index)
{
    return index < out.held.size() ? out.held[index].doubt : slide.doubt;
}

// The slide that begins at held[index] (the open one at held.size()) is one
// with the slide before it, and keeps that slide's frame.
void joinToPrevious(HeldOutput &out, OpenSlide &slide, DoubtIndex index)
{
    if (index == 0 || index > out.held.size())
        return;
    HeldSegment &previous = out.held[index - 1];
    if (index < out.held.size()) {
        previous.segment.endFrame = out.held[index].segment.endFrame;
        out.held.erase(out.held.begin() + std::ptrdiff_t(index));
        return;
    }
    slide.start = previous.segment.startFrame;
    slide.keptFrame = previous.segment.keptFrame;
    slide.picture = previous.picture;
    slide.doubt = std::move(previous.doubt);
    out.held.pop_back();
}

// Whether most of the doubt's blocks moved again, frame to frame, since it
// began: each move added one to a block's score, which fades with time.
bool changedSince(const Doubt &doubt, const MotionMemory &motion, int waited)
{
    if (doubt.scores.size() != doubt.blocks.size() || motion.scores.size() != doubt.blocks.size())
        return false;
    const float faded = std::pow(motion.decay, float(std::max(0, waited)));
    int count = 0;
    int again = 0;
    for (std::size_t k = 0; k < doubt.blocks.size(); ++k) {
        if (!doubt.blocks[k])
            continue;
        ++count;
        again += motion.scores[k] - doubt.scores[k] * faded >= movedAgainScore;
    }
    return count > 0 && 2 * again >= count;
}

} // namespace

void holdSlide(HeldOutput &out, OpenSlide &slide, int endFrame)
{
    // A slide whose first change also opened a video covers no frame: what
    // opened it is no doubt any more.
    if (endFrame >= slide.start) {
        out.held.push_back({Segment{slide.start, endFrame, slide.keptFrame, false, QString()},
                            slide.picture, std::move(slide.doubt)});
    }
    slide.doubt.reset();
}

void holdVideo(HeldOutput &out, int startFrame, int endFrame)
{
    out.held.push_back({Segment{startFrame, endFrame, -1, true, QString()}, QImage(), {}});
}

bool handOver(HeldOutput &out, const OpenSlide &slide, Timeline &timeline,
              const SlideSink &keepSlide)
{
    std::size_t done = 0;
    bool kept = true;
    for (; done < out.held.size() && kept; ++done) {
        const bool nextInDoubt = done + 1 < out.held.size() ? out.held[done + 1].doubt.has_value()
                                                            : slide.doubt.has_value();
        if (nextInDoubt)
            break;
        const HeldSegment &segment = out.held[done];
        if (segment.segment.isVideo)
            appendVideo(&timeline, segment.segment.startFrame, segment.segment.endFrame,
                        &out.videoCounter);
        else
            kept = appendSlide(&timeline, segment.segment.startFrame, segment.segment.endFrame,
                               segment.segment.keptFrame, segment.picture, keepSlide);
    }
    out.held.erase(out.held.begin(), out.held.begin() + std::ptrdiff_t(done));
    return kept;
}

std::optional<DoubtIndex> doubtOver(HeldOutput &out, OpenSlide &slide,
                                    const std::vector<unsigned char> &blocks, const BlockGrid &grid)
{
    for (DoubtIndex index = out.held.size() + 1; index-- > 0;) {
        const std::optional<Doubt> &doubt = doubtSlot(out, slide, index);
        if (doubt && overlapsDoubt(*doubt, blocks, grid))
            return index;
    }
    return std::nullopt;
}

Doubt &doubtAt(HeldOutput &out, OpenSlide &slide, DoubtIndex index)
{
    return *doubtSlot(out, slide, index);
}

void decideDoubt(HeldOutput &out, OpenSlide &slide, DoubtIndex index, bool moved)
{
    doubtSlot(out, slide, index).reset();
    if (moved)
        joinToPrevious(out, slide, index);
}

bool returnsTo(const BlockGrid &before, const BlockGrid &now,
               const std::vector<unsigned char> &blocks, const std::vector<unsigned char> &ignored,
               float threshold)
{
    const Difference difference = compareGrids(before, now, ignored, threshold);
    if (difference.changed.size() != blocks.size())
        return false;
    int still = 0;
    for (std::size_t k = 0; k < blocks.size(); ++k)
        still += blocks[k] && difference.changed[k];
    return still < clusterBlocks;
}

void decideDueDoubts(HeldOutput &out, OpenSlide &slide, const SlideArea &area,
                     const MotionMemory &motion, const BlockGrid &grid, int frame,
                     const DoubtWait &wait)
{
    DoubtIndex index = 0;
    while (index <= out.held.size()) {
        std::optional<Doubt> &doubt = doubtSlot(out, slide, index);
        const int waited = doubt ? frame - doubt->start : 0;
        const bool due =
            waited >= wait.frames && (knowsSlides(area) || waited >= wait.longestFrames);
        if (doubt && (due || out.held.size() > wait.mostHeld)) {
            const bool moved = outsideSlides(area, doubt->blocks, grid) ||
                               (doubt->besideMotion && changedSince(*doubt, motion, waited));
            decideDoubt(out, slide, index, moved);
            // A join took held[index] away: the next doubt now sits there.
            if (moved && index > 0)
                continue;
        }
        ++index;
    }
}

} // namespace robust
