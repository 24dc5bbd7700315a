// The robust walk: decisions over block grids (robust_internal.h), made
// only once the picture has settled.
#include "robust_walk.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <vector>

using namespace robust;

namespace
{

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

// A small change stays in doubt this long for the region to show another
// picture: subtitles show their next line within it. Until slides have
// shown where they are, it waits longer, so that a change outside them (a
// call's speaker border) is told from the start of the talk on; but never
// with more than so many slides held back.
constexpr double doubtSeconds = 15.0;
constexpr double longestDoubtSeconds = 90.0;
constexpr std::size_t mostHeldSlides = 12;

} // namespace

namespace robust
{

bool handOverSettled(RobustWalk &walk)
{
    return handOver(walk.out, walk.slide, walk.timeline, walk.keepSlide);
}

// The next slide starts after endFrame, with doubt about the change that
// opened it when it is a small one.
bool closeSlide(RobustWalk &walk, int endFrame, std::optional<Doubt> doubt)
{
    holdSlide(walk.out, walk.slide, endFrame);
    walk.slide.doubt = std::move(doubt);
    return handOverSettled(walk);
}

// The settled picture is where the slide lies at rest: later frames are
// aligned on it, as far either way as the grid's margin allows.
void settle(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
            const Profiles &profiles, Shift shift)
{
    walk.phase = Phase::Settled;
    walk.motion.freshRun = 0;
    walk.slide.keptFrame = frame;
    walk.slide.picture = picture;
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
    walk.slide.picture = QImage();
}

} // namespace robust

namespace
{

bool closeVideo(RobustWalk &walk, int endFrame)
{
    holdVideo(walk.out, walk.videoStart, endFrame);
    return handOverSettled(walk);
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
    bool kept = true;
    if (walk.stillFrames >= walk.holdFrames) {
        kept = closeVideo(walk, walk.stillStart - 1);
        // The video's own motion says nothing about the slides after it.
        std::vector<unsigned char> inVideo(walk.ignoredInVideo.size());
        for (std::size_t k = 0; k < inVideo.size(); ++k)
            inVideo[k] = !walk.ignoredInVideo[k];
        forgetMotion(walk.motion, inVideo);
        walk.slide.start = walk.stillStart;
        settle(walk, frame, grid, picture, profiles, shift);
    }
    return kept;
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

// The picture's profiles and reach, measured anew unless it is the last
// picture again.
const Measured &measure(Measured &measured, const QImage &picture)
{
    if (measured.picture == 0 || picture.cacheKey() != measured.picture) {
        const QImage readable = readableFrame(picture);
        measured.picture = picture.cacheKey();
        measured.profiles = lineProfiles(readable);
        measured.reach = shiftReach(readable);
        measured.hasGrid = false;
    }
    return measured;
}

// The blocks of the picture last measured, lying at shift.
const BlockGrid &gridAt(Measured &measured, const QImage &picture, Shift shift)
{
    if (!measured.hasGrid || shift.x != measured.gridShift.x || shift.y != measured.gridShift.y) {
        measured.grid = blockGrid(readableFrame(picture), shift);
        measured.gridShift = shift;
        measured.hasGrid = true;
    }
    return measured.grid;
}

bool step(RobustWalk &walk, int frame, const QImage &picture)
{
    const Profiles profiles = measure(walk.measured, picture).profiles;
    const bool sameSize = frame > 0 &&
                          profiles.columns.size() == walk.align.previousProfiles.columns.size() &&
                          profiles.rows.size() == walk.align.previousProfiles.rows.size();
    walk.align.reach = walk.measured.reach;
    const Shift shift = sameSize ? alignment(walk.align, profiles) : Shift{};
    if (!sameSize)
        walk.align.anchorProfiles = {};
    const BlockGrid grid = gridAt(walk.measured, picture, shift);
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
    // While a change is pending, its own moves still count as moves of the
    // regions in doubt: they are judged once it holds or passes.
    if (walk.phase != Phase::Pending)
        decideDueDoubts(walk.out, walk.slide, walk.area, walk.motion, grid, frame, walk.doubtWait);
    return kept && handOverSettled(walk);
}

// A change still waiting to hold when the talk ends never held: its frames
// stay with the slide before it.
// Doubts still open are decided by what the talk showed.
bool finish(RobustWalk &walk, int lastFrame, const QImage &lastPicture)
{
    const DoubtWait now{0, 0, 0};
    decideDueDoubts(walk.out, walk.slide, walk.area, walk.motion, walk.previous, lastFrame + 1,
                    now);
    if (walk.phase == Phase::Video)
        return closeVideo(walk, lastFrame);
    if (walk.phase == Phase::Starting) {
        walk.slide.keptFrame = lastFrame;
        walk.slide.picture = lastPicture;
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
    walk.doubtWait = {framesIn(doubtSeconds, fps), framesIn(longestDoubtSeconds, fps),
                      mostHeldSlides};
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
