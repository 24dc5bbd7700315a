// The robust walk: decisions over block grids (robust_internal.h), made
// only once the picture has settled.
#include "detect.h"
#include "robust_internal.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <vector>

using namespace robust;

namespace
{

// Changed blocks that touch another changed block, needed for a change: a
// short word of text covers more, a burst of noise or a compression
// artefact rarely lines up so.
constexpr int clusterBlocks = 8;

// A new picture must hold this long (the frame that shows it, and still
// frames after it) before it counts as a slide.
constexpr double holdSeconds = 2.0;

// Motion that starts while a slide is shown, outside the regions known to
// move, over at least this share of the picture, is fresh motion. When it
// goes on for the video window (and at least minimumVideoSeconds) it is a
// video (a clip, an animation); shorter, it was someone passing in front,
// or a transition, and only what it leaves behind counts. Whatever moves
// before the first picture has held (a speaker's camera, say) is known to
// move and left out of the decisions, unless it covers videoShare of the
// picture: the talk opens with a video.
constexpr double freshMotionShare = 0.005;
constexpr double minimumVideoSeconds = 3.0;
constexpr double videoShare = 0.25;

// How much of the talk's recent past the noise level is learnt from.
constexpr double noiseSeconds = 60.0;

// How long a region that moved by itself is remembered, in video windows:
// long enough to span the pauses of subtitles or of a speaker.
constexpr double moverWindows = 2.0;

// A slide change is dated by its blocks: the share of them that must have
// differed from the old slide by then. Not the first of them, which may
// have been hidden by someone passing in front before the change.
constexpr double changeShare = 0.25;

// A small change over much of where another small one was within this
// time is a region that keeps changing (subtitles), not a change of slide.
constexpr double repeatSeconds = 8.0;

enum class Phase {
    Starting, // no picture has held yet
    Settled,  // the current slide's picture holds
    Pending,  // the picture differs from the slide; waiting for it to hold
    Video,    // much of the picture keeps moving
};

struct RobustWalk {
    const SlideSink &keepSlide;
    Timeline &timeline;

    int holdFrames = 0;
    int videoFrames = 0;
    MotionMemory motion{};
    NoiseModel noise{};
    Alignment align{};
    SlideArea area{};

    Phase phase = Phase::Starting;
    BlockGrid previous{};
    BlockGrid reference{}; // the slide's picture, averaged over its settled frames
    int referenceWeight = 0;

    std::vector<int> differingSince{}; // per block: first frame of its run unlike the slide
    std::vector<unsigned char> ignoredInVideo{};
    int segmentStart = 0;
    int changeStart = 0; // first frame of the pending change
    int heldFrames = 0;
    int videoStart = 0;
    int stillStart = 0;
    int stillFrames = 0;
    int keptFrame = -1;
    QImage keptPicture{};
    int videoCounter = 1;
};

bool closeSlide(RobustWalk &walk, int endFrame)
{
    return appendSlide(&walk.timeline, walk.segmentStart, endFrame, walk.keptFrame,
                       walk.keptPicture, walk.keepSlide);
}

void closeVideo(RobustWalk &walk, int endFrame)
{
    appendVideo(&walk.timeline, walk.videoStart, endFrame, &walk.videoCounter);
}

// The settled picture is where the slide lies at rest: later frames are
// aligned on it, as far either way as the grid's margin allows.
void settle(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
            const Profiles &profiles, Shift shift)
{
    walk.phase = Phase::Settled;
    walk.motion.freshRun = 0;
    walk.keptFrame = frame;
    walk.keptPicture = picture;
    walk.reference = shift.x || shift.y ? blockGrid(readableFrame(picture), {}) : grid;
    walk.referenceWeight = 1;
    walk.align.anchorProfiles = profiles;
    walk.align.anchorShift = {};
    walk.align.recentred = shift.x || shift.y;
    walk.differingSince.assign(grid.blocks(), -1);
}

// The video runs from start at least to the frame before this one.
void enterVideo(RobustWalk &walk, int start, int frame, const std::vector<unsigned char> &ignored)
{
    walk.phase = Phase::Video;
    walk.videoStart = start;
    walk.ignoredInVideo = ignored;
    if (walk.ignoredInVideo.size() != walk.motion.scores.size())
        walk.ignoredInVideo.assign(walk.motion.scores.size(), 0);
    walk.stillStart = std::max(start, frame);
    walk.stillFrames = 1;
    walk.keptPicture = QImage();
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

bool stepVideo(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
               float threshold, const Profiles &profiles, Shift shift)
{
    // The picture that is to hold starts with the frame of the last change.
    if (compareGrids(walk.previous, grid, walk.ignoredInVideo, threshold).clustered >=
        clusterBlocks) {
        walk.stillStart = frame;
        walk.stillFrames = 1;
    } else {
        ++walk.stillFrames;
    }
    if (walk.stillFrames >= walk.holdFrames) {
        closeVideo(walk, walk.stillStart - 1);
        // The video's own motion says nothing about the slides after it.
        std::vector<unsigned char> inVideo(walk.ignoredInVideo.size());
        for (std::size_t k = 0; k < inVideo.size(); ++k)
            inVideo[k] = !walk.ignoredInVideo[k];
        forgetMotion(walk.motion, inVideo);
        walk.segmentStart = walk.stillStart;
        settle(walk, frame, grid, picture, profiles, shift);
    }
    return true;
}

// Whatever moves before the first picture has held is taken for a region
// that moves by itself, unless it covers much of the picture.
bool stepStarting(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
                  const std::vector<unsigned char> &ignored, float threshold, const Motion &motion,
                  const Profiles &profiles, Shift shift)
{
    if (frame == 0) {
        walk.heldFrames = 1;
    } else if (compareGrids(walk.previous, grid, ignored, threshold).clustered < clusterBlocks) {
        ++walk.heldFrames;
    } else {
        walk.heldFrames = 1;
    }
    if (walk.heldFrames >= walk.holdFrames)
        settle(walk, frame, grid, picture, profiles, shift);
    else if (walk.motion.freshRun >= walk.videoFrames && motion.share >= videoShare)
        enterVideo(walk, 0, frame, {});
    return true;
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
}

// The region is known to move from now on, and the slide's picture is
// taken as it shows now.
void absorbMover(RobustWalk &walk, const Difference &fromSlide, const BlockGrid &grid)
{
    markMoving(walk.motion, fromSlide.changed);
    walk.phase = Phase::Settled;
    walk.reference = grid;
    walk.referenceWeight = 1;
    walk.differingSince.assign(grid.blocks(), -1);
}

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
                              : std::max(walk.keptFrame + 1, frame - walk.motion.freshRun);
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
    if (compareGrids(walk.previous, grid, ignored, threshold).clustered < clusterBlocks)
        ++walk.heldFrames;
    else
        walk.heldFrames = 1;
    if (walk.heldFrames < walk.holdFrames)
        return true;
    // The slide ends where the picture that now holds first showed, however
    // many steps it took to settle.
    const int start = changeFrame(walk, fromSlide);
    const bool small = isSmall(fromSlide);
    if (small &&
        (movesAgain(walk.area, fromSlide, start) || outsideSlides(walk.area, fromSlide, grid))) {
        absorbMover(walk, fromSlide, grid);
        return true;
    }
    const bool kept = closeSlide(walk, start - 1);
    walk.segmentStart = start;
    // A small change is remembered as motion, so that the region that
    // keeps changing so is known.
    if (!small) {
        forgetChange(walk.motion, fromSlide.changed);
        countSlideChange(walk.area, fromSlide.changed);
    }
    settle(walk, frame, grid, picture, profiles, shift);
    return kept;
}

bool step(RobustWalk &walk, int frame, const QImage &picture)
{
    const QImage readable = readableFrame(picture);
    const Profiles profiles = lineProfiles(readable);
    const bool sameSize = frame > 0 &&
                          profiles.columns.size() == walk.align.previousProfiles.columns.size() &&
                          profiles.rows.size() == walk.align.previousProfiles.rows.size();
    walk.align.reach = shiftReach(readable);
    const Shift shift = sameSize ? alignment(walk.align, profiles) : Shift{};
    if (!sameSize)
        walk.align.anchorProfiles = {};
    const BlockGrid grid = blockGrid(readable, shift);
    Motion motion;
    if (!sameSize || !sameShape(walk.previous, grid)) {
        resetMotion(walk.motion, grid.blocks());
    } else {
        // The noise is learnt before the frame is judged, so that the first
        // frames of a noisy talk are judged by its noise already; the
        // motion of a video is no noise.
        const std::vector<float> sincePrevious =
            residualsBetween(walk.previous, grid, std::vector<unsigned char>(grid.blocks(), 0));
        if (walk.phase != Phase::Video)
            learnNoise(walk.noise, noiseLevel(sincePrevious, moverMask(walk.motion.scores,
                                                                       grid.columns, grid.rows)));
        walk.motion.scoresBeforeFrame = walk.motion.scores;
        motion = trackMotion(walk.motion, grid,
                             changesAbove(sincePrevious, changeThreshold(walk.noise), grid),
                             walk.phase == Phase::Starting);
        walk.motion.freshRun = motion.freshShare >= freshMotionShare ? walk.motion.freshRun + 1 : 0;
    }
    const float threshold = changeThreshold(walk.noise);
    const std::vector<unsigned char> movers =
        moverMask(walk.motion.scores, grid.columns, grid.rows);

    bool kept = true;
    switch (walk.phase) {
    case Phase::Starting:
        kept = stepStarting(walk, frame, grid, picture, movers, threshold, motion, profiles, shift);
        break;
    case Phase::Settled:
    case Phase::Pending:
        kept = stepSlide(walk, frame, grid, picture, movers, threshold, profiles, shift);
        break;
    case Phase::Video:
        kept = stepVideo(walk, frame, grid, picture, threshold, profiles, shift);
        break;
    }
    walk.previous = walk.align.recentred ? walk.reference : grid;
    walk.align.previousProfiles = profiles;
    walk.align.previousShift = walk.align.recentred ? Shift{} : shift;
    walk.align.recentred = false;
    return kept;
}

// A change still waiting to hold when the talk ends never held: its frames
// stay with the slide before it.
bool finish(RobustWalk &walk, int lastFrame, const QImage &lastPicture)
{
    if (walk.phase == Phase::Video) {
        closeVideo(walk, lastFrame);
        return true;
    }
    if (walk.phase == Phase::Starting) {
        walk.keptFrame = lastFrame;
        walk.keptPicture = lastPicture;
    }
    return closeSlide(walk, lastFrame);
}

// Frames sampled in so many seconds; a rate no talk could have sampled
// keeps the count within an int.
int framesIn(double seconds, int fps)
{
    return int(std::min(std::round(seconds * fps), double(std::numeric_limits<int>::max() / 2)));
}

} // namespace

bool robustTimeline(const FrameSource &frameAt, const DetectOptions &options, Timeline *timeline,
                    const SlideSink &keepSlide)
{
    timeline->segments.clear();
    timeline->keepSet.clear();
    RobustWalk walk{keepSlide, *timeline};
    const int fps = std::max(1, options.fps);
    const double window = double(std::max(1, options.videoWindow));
    walk.holdFrames = 1 + framesIn(holdSeconds, fps);
    walk.videoFrames = framesIn(std::max(minimumVideoSeconds, window), fps);
    walk.noise.samples = framesIn(noiseSeconds, fps);
    walk.area.repeatFrames = framesIn(repeatSeconds, fps);
    walk.motion.decay = float(std::exp(-1.0 / (moverWindows * window * fps)));

    QImage picture;
    int frame = 0;
    for (;; ++frame) {
        std::optional<QImage> next = frameAt(frame);
        if (!next)
            break;
        if (next->isNull())
            return false;
        picture = *std::move(next);
        if (!step(walk, frame, picture))
            return false;
    }
    return frame == 0 || finish(walk, frame - 1, picture);
}
