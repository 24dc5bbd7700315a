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

// The least change of a block, in levels of 0..255, that can count as part
// of a change of slide. Compression keeps most blocks of a still picture
// exactly as they were and shakes a few at each key frame by up to a few
// levels; this is above that, and far below the ink of a line of text.
constexpr float minimumStep = 12.0f;

// On a talk whose noise survives the compression, a block counts as changed
// when it moves this many times the noise's standard deviation (see
// noiseLevel): pure noise does so in a block or so out of ten million.
constexpr float noiseFactor = 5.5f;

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

// A change over less than this share of the picture is small: a line of
// text. A small change over much of where another small one was a few
// seconds before is a region that keeps changing (subtitles), not a change
// of slide.
constexpr double smallChangeShare = 0.05;
constexpr double repeatSeconds = 8.0;
constexpr double repeatShare = 0.5;

// Where the slides are: the blocks that took part in at least two changes
// of slide, and in this share of them. A small change mostly outside the
// rectangle around them is in what surrounds the slides (a video call's
// tiles and borders, a clock in a task bar), not a change of slide.
constexpr double slideAreaShare = 0.25;

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
    qsizetype noiseSamples = 0; // how many the noise level is taken from
    float moverDecay = 0.0f;

    Phase phase = Phase::Starting;
    BlockGrid previous{};
    BlockGrid reference{}; // the slide's picture, averaged over its settled frames
    int referenceWeight = 0;

    // Where the picture lies: the previous frame's, and that of the frame
    // the slide settled on, from which a shaking picture is aligned.
    int reach = 0;
    Profiles previousProfiles{};
    Shift previousShift{};
    Profiles anchorProfiles{};
    Shift anchorShift{};
    bool recentred = false; // the frame just settled on is the new rest

    std::vector<float> moverScores{};
    std::vector<float> scoresBeforeFrame{};
    std::vector<float> scoresBeforeChange{}; // when the pending change began
    std::vector<unsigned char> knownBeforeChange{};
    std::vector<int> differingSince{}; // per block: first frame of its run unlike the slide
    int freshMotionRun = 0;            // frames running with fresh motion
    std::vector<unsigned char> knownBeforeMotion{}; // the regions that moved before it began
    std::vector<unsigned char> ignoredInVideo{};
    std::deque<float> noiseLevels{}; // of recent pairs of frames, outside videos
    int segmentStart = 0;
    int changeStart = 0; // first frame of the pending change
    int heldFrames = 0;
    int videoStart = 0;
    int stillStart = 0;
    int stillFrames = 0;
    int keptFrame = -1;
    QImage keptPicture{};
    int videoCounter = 1;
    std::vector<int> slideChanges{}; // per block: how many changes of slide it took part in
    int slideChangeCount = 0;
    int repeatFrames = 0;
    std::vector<unsigned char> lastSmallChange{};
    int lastSmallChangeFrame = std::numeric_limits<int>::min() / 2;
};

float changeThreshold(const RobustWalk &walk)
{
    if (walk.noiseLevels.empty())
        return minimumStep;
    const std::vector<float> levels(walk.noiseLevels.begin(), walk.noiseLevels.end());
    return std::max(minimumStep, noiseFactor * quantile(levels, 0.5));
}

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
    walk.freshMotionRun = 0;
    walk.keptFrame = frame;
    walk.keptPicture = picture;
    walk.reference = shift.x || shift.y ? blockGrid(readableFrame(picture), {}) : grid;
    walk.referenceWeight = 1;
    walk.anchorProfiles = profiles;
    walk.anchorShift = {};
    walk.recentred = shift.x || shift.y;
    walk.differingSince.assign(grid.blocks(), -1);
}

// The video runs from start at least to the frame before this one.
void enterVideo(RobustWalk &walk, int start, int frame, const std::vector<unsigned char> &ignored)
{
    walk.phase = Phase::Video;
    walk.videoStart = start;
    walk.ignoredInVideo = ignored;
    if (walk.ignoredInVideo.size() != walk.moverScores.size())
        walk.ignoredInVideo.assign(walk.moverScores.size(), 0);
    walk.stillStart = std::max(start, frame);
    walk.stillFrames = 1;
    walk.keptPicture = QImage();
}

// The share of the picture that changed since the previous frame, and the
// share of it outside the regions that were known to move when this run of
// motion began: fresh motion.
struct Motion {
    double share = 0.0; // of the picture
    double freshShare = 0.0;
};

Motion trackMotion(RobustWalk &walk, const BlockGrid &grid, const Difference &sincePrevious)
{
    // Until the first picture holds, whatever moves is known to move.
    if (walk.freshMotionRun == 0 || walk.phase == Phase::Starting)
        walk.knownBeforeMotion = moverMask(walk.moverScores, grid.columns, grid.rows);
    int moving = 0;
    int fresh = 0;
    for (std::size_t k = 0; k < sincePrevious.changed.size(); ++k) {
        walk.moverScores[k] *= walk.moverDecay;
        if (sincePrevious.changed[k]) {
            walk.moverScores[k] += 1.0f;
            ++moving;
            fresh += !walk.knownBeforeMotion[k];
        }
    }
    const double blocks = double(std::max<std::size_t>(1, sincePrevious.changed.size()));
    return {moving / blocks, fresh / blocks};
}

// A first frame, or a frame of another size: nothing is known to move.
void resetMotion(RobustWalk &walk, std::size_t blocks)
{
    walk.moverScores.assign(blocks, 0.0f);
    walk.freshMotionRun = 0;
}

void forgetMotion(RobustWalk &walk, const std::vector<unsigned char> &blocks)
{
    if (blocks.size() != walk.moverScores.size())
        return;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        if (blocks[k])
            walk.moverScores[k] = 0.0f;
    }
}

// What changed with the slide changed once: the blocks of the change are
// moved no more than they were before it began, so a region that moved by
// itself (subtitles) stays known.
void forgetChange(RobustWalk &walk, const std::vector<unsigned char> &blocks)
{
    if (blocks.size() != walk.moverScores.size() || walk.scoresBeforeChange.size() != blocks.size())
        return;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        if (blocks[k])
            walk.moverScores[k] = std::min(walk.moverScores[k], walk.scoresBeforeChange[k]);
    }
}

void learnNoise(RobustWalk &walk, float level)
{
    walk.noiseLevels.push_back(level);
    if (qsizetype(walk.noiseLevels.size()) > walk.noiseSamples)
        walk.noiseLevels.pop_front();
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
        forgetMotion(walk, inVideo);
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
    else if (walk.freshMotionRun >= walk.videoFrames && motion.share >= videoShare)
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
    walk.scoresBeforeChange = walk.scoresBeforeFrame;
    walk.knownBeforeChange = moverMask(walk.scoresBeforeChange, grid.columns, grid.rows);
}

void countSlideChange(RobustWalk &walk, const std::vector<unsigned char> &blocks)
{
    if (walk.slideChanges.size() != blocks.size())
        walk.slideChanges.assign(blocks.size(), 0);
    for (std::size_t k = 0; k < blocks.size(); ++k)
        walk.slideChanges[k] += blocks[k] != 0;
    ++walk.slideChangeCount;
}

// Until slides have changed there twice, every block may hold slides.
bool outsideSlides(const RobustWalk &walk, const Difference &fromSlide, const BlockGrid &grid)
{
    if (walk.slideChanges.size() != fromSlide.changed.size())
        return false;
    const int least = std::max(2, int(std::ceil(slideAreaShare * walk.slideChangeCount)));
    int left = grid.columns;
    int right = -1;
    int top = grid.rows;
    int bottom = -1;
    for (int y = 0; y < grid.rows; ++y)
        for (int x = 0; x < grid.columns; ++x) {
            if (walk.slideChanges[std::size_t(y * grid.columns + x)] < least)
                continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    if (right < 0)
        return false;
    std::vector<unsigned char> inside(fromSlide.changed.size(), 0);
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            inside[std::size_t(y * grid.columns + x)] = 1;
    return overlap(fromSlide.changed, inside) < 1.0 - repeatShare;
}

bool isSmall(const Difference &fromSlide)
{
    const auto changed = std::count(fromSlide.changed.begin(), fromSlide.changed.end(), 1);
    return double(changed) < smallChangeShare * double(fromSlide.changed.size());
}

bool movesAgain(RobustWalk &walk, const Difference &fromSlide, int start)
{
    const bool repeated = start - walk.lastSmallChangeFrame <= walk.repeatFrames &&
                          overlap(fromSlide.changed, walk.lastSmallChange) >= repeatShare;
    walk.lastSmallChange = fromSlide.changed;
    walk.lastSmallChangeFrame = start;
    return repeated;
}

// The region is known to move from now on, and the slide's picture is
// taken as it shows now.
void absorbMover(RobustWalk &walk, const Difference &fromSlide, const BlockGrid &grid)
{
    for (std::size_t k = 0; k < fromSlide.changed.size(); ++k) {
        if (fromSlide.changed[k])
            walk.moverScores[k] = std::max(walk.moverScores[k], moverScore + 1.0f);
    }
    walk.phase = Phase::Settled;
    walk.reference = grid;
    walk.referenceWeight = 1;
    walk.differingSince.assign(grid.blocks(), -1);
}

bool stepSlide(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
               const std::vector<unsigned char> &movers, float threshold, const Profiles &profiles,
               Shift shift)
{
    if (walk.freshMotionRun >= walk.videoFrames) {
        // The video starts where the picture first gave way.
        // A slide keeps its kept frame, even when its picture held while
        // a region began to move.
        const int start = walk.phase == Phase::Pending
                              ? walk.changeStart
                              : std::max(walk.keptFrame + 1, frame - walk.freshMotionRun);
        const bool kept = closeSlide(walk, start - 1);
        enterVideo(walk, start, frame, walk.knownBeforeMotion);
        return kept;
    }
    // While a change is pending, what moves with it (someone walking in
    // front, say) is part of it, not a region that moves by itself.
    const std::vector<unsigned char> &ignored =
        walk.phase == Phase::Pending && walk.knownBeforeChange.size() == movers.size()
            ? walk.knownBeforeChange
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
    if (small && (movesAgain(walk, fromSlide, start) || outsideSlides(walk, fromSlide, grid))) {
        absorbMover(walk, fromSlide, grid);
        return true;
    }
    const bool kept = closeSlide(walk, start - 1);
    walk.segmentStart = start;
    // A small change is remembered as motion, so that the region that
    // keeps changing so is known.
    if (!small) {
        forgetChange(walk, fromSlide.changed);
        countSlideChange(walk, fromSlide.changed);
    }
    settle(walk, frame, grid, picture, profiles, shift);
    return kept;
}

// Where the picture lies: against the frame the slide settled on while it
// still shows much of it (someone in front, a build), else against the
// previous frame; where neither matches, where the previous frame lay.
Shift alignment(const RobustWalk &walk, const Profiles &profiles)
{
    Shift shift = walk.previousShift;
    if (const std::optional<Shift> step = shiftBetween(walk.anchorProfiles, profiles, walk.reach))
        shift = {walk.anchorShift.x + step->x, walk.anchorShift.y + step->y};
    else if (const std::optional<Shift> step =
                 shiftBetween(walk.previousProfiles, profiles, walk.reach))
        shift = {walk.previousShift.x + step->x, walk.previousShift.y + step->y};
    return {std::clamp(shift.x, -walk.reach, walk.reach),
            std::clamp(shift.y, -walk.reach, walk.reach)};
}

bool step(RobustWalk &walk, int frame, const QImage &picture)
{
    const QImage readable = readableFrame(picture);
    const Profiles profiles = lineProfiles(readable);
    const bool sameSize = frame > 0 &&
                          profiles.columns.size() == walk.previousProfiles.columns.size() &&
                          profiles.rows.size() == walk.previousProfiles.rows.size();
    walk.reach = shiftReach(readable);
    const Shift shift = sameSize ? alignment(walk, profiles) : Shift{};
    if (!sameSize)
        walk.anchorProfiles = {};
    const BlockGrid grid = blockGrid(readable, shift);
    Motion motion;
    if (!sameSize || !sameShape(walk.previous, grid)) {
        resetMotion(walk, grid.blocks());
    } else {
        // The noise is learnt before the frame is judged, so that the first
        // frames of a noisy talk are judged by its noise already; the
        // motion of a video is no noise.
        const std::vector<float> sincePrevious =
            residualsBetween(walk.previous, grid, std::vector<unsigned char>(grid.blocks(), 0));
        if (walk.phase != Phase::Video)
            learnNoise(walk, noiseLevel(sincePrevious,
                                        moverMask(walk.moverScores, grid.columns, grid.rows)));
        walk.scoresBeforeFrame = walk.moverScores;
        motion = trackMotion(walk, grid, changesAbove(sincePrevious, changeThreshold(walk), grid));
        walk.freshMotionRun = motion.freshShare >= freshMotionShare ? walk.freshMotionRun + 1 : 0;
    }
    const float threshold = changeThreshold(walk);
    const std::vector<unsigned char> movers = moverMask(walk.moverScores, grid.columns, grid.rows);

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
    walk.previous = walk.recentred ? walk.reference : grid;
    walk.previousProfiles = profiles;
    walk.previousShift = walk.recentred ? Shift{} : shift;
    walk.recentred = false;
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
    walk.noiseSamples = framesIn(noiseSeconds, fps);
    walk.repeatFrames = framesIn(repeatSeconds, fps);
    walk.moverDecay = float(std::exp(-1.0 / (moverWindows * window * fps)));

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
