// While a slide shows: the frames that differ from its picture, the change
// that holds, and what it was (a change of slide, a region that moves by
// itself, a pointer).
#include "robust_walk.h"

#include <algorithm>

namespace robust
{

namespace
{

// A slide change is dated by its blocks: the share of them that must have
// differed from the old slide by then. Not the first of them, which may
// have been hidden by someone passing in front before the change.
constexpr double changeShare = 0.25;

// The share of a change's blocks that may still move while it holds.
constexpr double stillShare = 0.02;

// A change holds when little of the picture still moves beside it: a few
// blocks, or a small share of a large change (the noise of a page that
// made the camera's gain rise).
int stillBlocks(const Difference &fromSlide)
{
    return std::max(clusterBlocks, int(double(changedBlocks(fromSlide)) * stillShare));
}

void followSlide(RobustWalk &walk, const BlockGrid &grid)
{
    walk.referenceWeight = std::min(walk.referenceWeight + 1, 8);
    for (std::size_t k = 0; k < grid.means.size(); ++k)
        walk.reference.means[k] +=
            (grid.means[k] - walk.reference.means[k]) / float(walk.referenceWeight);
}

// Each block's run of frames unlike the slide.
void trackDiffering(RobustWalk &walk, int frame, const Difference &fromSlide)
{
    if (walk.differingSince.size() != fromSlide.changed.size())
        walk.differingSince.assign(fromSlide.changed.size(), -1);
    for (std::size_t k = 0; k < fromSlide.changed.size(); ++k) {
        if (!fromSlide.changed[k])
            walk.differingSince[k] = -1;
        else if (walk.differingSince[k] < 0)
            walk.differingSince[k] = frame;
    }
}

// The frame at which the picture that now holds first showed: by then a
// good share of the blocks that differ from the slide did.
int changeFrame(const RobustWalk &walk, const Difference &fromSlide)
{
    std::vector<float> since;
    for (std::size_t k = 0; k < fromSlide.changed.size(); ++k) {
        if (fromSlide.changed[k] && walk.differingSince[k] >= 0)
            since.push_back(float(walk.differingSince[k]));
    }
    if (since.empty())
        return walk.changeStart;
    return std::max(walk.changeStart, int(quantile(std::move(since), changeShare)));
}

// What moved before the change began (not with its first frame) is known
// to move by itself.
void beginChange(RobustWalk &walk, int frame, const BlockGrid &grid)
{
    walk.phase = Phase::Pending;
    walk.changeStart = frame;
    walk.heldFrames = 1;
    walk.motion.scoresBeforeChange = walk.motion.scoresBeforeFrame;
    walk.motion.knownBeforeChange =
        moverMask(walk.motion.scoresBeforeChange, grid.columns, grid.rows);
    noteMoversAtChange(walk.motion);
}

// The slide's picture is taken as it shows now.
void retakeSlide(RobustWalk &walk, const BlockGrid &grid)
{
    walk.phase = Phase::Settled;
    walk.reference = grid;
    walk.referenceWeight = 1;
    walk.differingSince.assign(grid.blocks(), -1);
}

// The region is known to move from now on.
void absorbMover(RobustWalk &walk, const std::vector<unsigned char> &blocks, const BlockGrid &grid)
{
    markMoving(walk.motion, blocks);
    retakeSlide(walk, grid);
}

// A small change that held: a pointer that moved, no change; outside
// where slides change, or the same region showing yet another picture
// after a change still in doubt, a region moving by itself; otherwise a
// change of slide, in doubt for a while. Its blocks are not remembered as
// moving, so that the region is seen when it changes again.
bool smallChange(RobustWalk &walk, int frame, int start, const Difference &fromSlide,
                 const BlockGrid &grid, const QImage &picture,
                 const std::vector<unsigned char> &ignored, float threshold,
                 const Profiles &profiles, Shift shift)
{
    if (pointerOnly(fromSlide, grid)) {
        retakeSlide(walk, grid);
        return true;
    }
    const std::vector<unsigned char> &blocks = fromSlide.changed;
    const bool besideMotion = besideMovingRegion(walk.motion, blocks, grid);
    if (outsideSlides(walk.area, blocks, grid)) {
        absorbMover(walk, blocks, grid);
        return true;
    }
    if (const std::optional<DoubtIndex> earlier = doubtOver(walk.out, walk.slide, blocks, grid)) {
        const Doubt &doubt = doubtAt(walk.out, walk.slide, *earlier);
        std::vector<unsigned char> region = doubt.blocks;
        for (std::size_t k = 0; k < region.size() && k < blocks.size(); ++k)
            region[k] |= blocks[k];
        // Taken back, the region shows what it showed before; unless both
        // changes came as the region beside them moved: a subtitle line
        // longer than the one before and the next, shorter one.
        const bool anotherPicture = !returnsTo(doubt.before, grid, region, ignored, threshold) ||
                                    (besideMotion && doubt.besideMotion);
        decideDoubt(walk.out, walk.slide, *earlier, anotherPicture);
        if (anotherPicture) {
            absorbMover(walk, region, grid);
            return handOverSettled(walk);
        }
    }
    forgetChange(walk.motion, blocks);
    const bool kept = closeSlide(
        walk, start - 1, Doubt{start, blocks, walk.reference, besideMotion, walk.motion.scores});
    walk.slide.start = start;
    settle(walk, frame, grid, picture, profiles, shift);
    return kept;
}

} // namespace

bool stepSlide(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
               const std::vector<unsigned char> &movers, float threshold, const Profiles &profiles,
               Shift shift)
{
    if (walk.motion.freshRun >= walk.videoFrames) {
        // The video starts where the picture first gave way.
        // A slide keeps its kept frame, even when its picture held while
        // a region began to move.
        const int start = walk.phase == Phase::Pending
                              ? walk.changeStart
                              : std::max(walk.slide.keptFrame + 1, frame - walk.motion.freshRun);
        const bool kept = closeSlide(walk, start - 1);
        enterVideo(walk, start, frame, walk.motion.knownBeforeRun);
        return kept;
    }
    // While a change is pending, what moves with it (someone walking in
    // front, say) is part of it, not a region that moves by itself.
    const std::vector<unsigned char> &ignored =
        walk.phase == Phase::Pending && walk.motion.knownBeforeChange.size() == movers.size()
            ? walk.motion.knownBeforeChange
            : movers;
    const Difference fromSlide = compareGrids(walk.reference, grid, ignored, threshold);
    trackDiffering(walk, frame, fromSlide);
    if (fromSlide.clustered < clusterBlocks) {
        // Back to the slide's picture: whatever differed has gone (someone
        // passed in front), or is now known to move by itself.
        walk.phase = Phase::Settled;
        followSlide(walk, grid);
        return true;
    }
    if (walk.phase == Phase::Settled) {
        beginChange(walk, frame, grid);
        return true;
    }
    if (compareGrids(walk.previous, grid, ignored, threshold).clustered < stillBlocks(fromSlide))
        ++walk.heldFrames;
    else
        walk.heldFrames = 1;
    if (walk.heldFrames < walk.holdFrames)
        return true;
    // The slide ends where the picture that now holds first showed, however
    // many steps it took to settle.
    const int start = changeFrame(walk, fromSlide);
    if (isSmall(fromSlide))
        return smallChange(walk, frame, start, fromSlide, grid, picture, ignored, threshold,
                           profiles, shift);
    const bool kept = closeSlide(walk, start - 1);
    walk.slide.start = start;
    forgetChange(walk.motion, fromSlide.changed);
    countSlideChange(walk.area, fromSlide.changed);
    settle(walk, frame, grid, picture, profiles, shift);
    return kept;
}

} // namespace robust
