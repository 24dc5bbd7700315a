// The pieces of the robust walk: block grids of a frame, aligned on the
// camera's shake; how two grids differ beyond a change of light and the
// talk's noise; and which regions move by themselves. Only the files of the
// robust walk include this.
#pragma once

#include "core.h"

#include <QImage>

#include <deque>
#include <optional>
#include <vector>

namespace robust
{

// Blocks are judged on red, green and blue apart, so that a change of hue
// at the same brightness is a change as large as the same step in brightness.
constexpr int channels = 3;

struct BlockGrid {
    int columns = 0;
    int rows = 0;
    std::vector<float> means; // per block, row by row: red, green, blue in 0..255

    std::size_t blocks() const { return std::size_t(columns) * std::size_t(rows); }
};

bool sameShape(const BlockGrid &a, const BlockGrid &b);

// Where the grid lies on the picture, in pixels from where it lies at rest.
struct Shift {
    int x = 0;
    int y = 0;
};

// The brightness summed down each pixel column and along each pixel row: a
// cheap fingerprint of the picture's layout from which its shift is told.
struct Profiles {
    std::vector<float> columns;
    std::vector<float> rows;
};

// A frame the grid code reads in place: RGB32, ARGB32 or RGB888; any other
// format is converted once.
QImage readableFrame(const QImage &frame);

Profiles lineProfiles(const QImage &readable);

// How far the picture of `to` lies from that of `from`, up to reach pixels
// either way; none when the two do not match at any shift (another
// picture, or another size).
std::optional<Shift> shiftBetween(const Profiles &from, const Profiles &to, int reach);

// How far the grid may shift either way: the margin the grid leaves free
// all round.
int shiftReach(const QImage &readable);

// The grid of block means with its blocks moved by shift (clamped to the
// reach), so that a picture that shook still falls on the same blocks.
BlockGrid blockGrid(const QImage &readable, Shift shift);

// ---- differences

// Changed blocks that touch another changed block, needed for a change: a
// short word of text covers more, a burst of noise or a compression
// artefact rarely lines up so.
constexpr int clusterBlocks = 8;

// |change| of each block beyond the shift of the light (the largest of the
// three channels), -1 for an ignored block; empty when the grids differ in
// shape.
std::vector<float> residualsBetween(const BlockGrid &before, const BlockGrid &after,
                                    const std::vector<unsigned char> &ignored);

struct Difference {
    std::vector<unsigned char> changed; // per block
    int clustered = 0;                  // changed blocks with a changed neighbour
};

// How many blocks changed.
int changedBlocks(const Difference &difference);

Difference changesAbove(const std::vector<float> &residuals, float threshold,
                        const BlockGrid &grid);

Difference compareGrids(const BlockGrid &before, const BlockGrid &after,
                        const std::vector<unsigned char> &ignored, float threshold);

// The noise of one pair of frames, as a standard deviation, from the blocks
// outside movers.
float noiseLevel(const std::vector<float> &residuals, const std::vector<unsigned char> &movers);

float quantile(std::vector<float> values, double q);

// ---- regions that move by themselves

// A block seen moving that many times, with the memory fading, belongs to a
// region that moves by itself.
constexpr float moverScore = 1.5f;

// Blocks that moved often, each grown by one block all round: a region
// moves a little beyond where it was seen moving.
std::vector<unsigned char> moverMask(const std::vector<float> &scores, int columns, int rows);

// The mask and every block touching it.
std::vector<unsigned char> grownMask(const std::vector<unsigned char> &mask, int columns, int rows);

// The share of the set blocks that lie inside mask.
double overlap(const std::vector<unsigned char> &blocks, const std::vector<unsigned char> &mask);

// What the walk remembers of motion: how often each block moved, fading
// with time, and the regions known to move when a change or a run of
// motion began.
struct MotionMemory {
    float decay = 0.0f; // per frame
    std::vector<float> scores{};
    std::vector<float> scoresBeforeFrame{};
    std::vector<float> scoresBeforeChange{}; // when the pending change began
    std::vector<unsigned char> knownBeforeChange{};
    int freshRun = 0;                            // frames running with fresh motion
    std::vector<unsigned char> knownBeforeRun{}; // the regions that moved before it began
    std::vector<unsigned char> movedNow{};       // the blocks that changed with the last frame
    std::vector<unsigned char> moversMovingAtChange{}; // known to move, and moving as it began
};

// The share of the picture that changed since the previous frame, and the
// share of it outside the regions that were known to move when this run of
// motion began: fresh motion.
struct Motion {
    double share = 0.0; // of the picture
    double freshShare = 0.0;
};

// Counts the blocks that changed since the previous frame into the fading
// scores. Until the first picture holds (starting), whatever moves is known
// to move.
Motion trackMotion(MotionMemory &memory, const BlockGrid &grid, const Difference &sincePrevious,
                   bool starting);

// A first frame, or a frame of another size: nothing is known to move.
void resetMotion(MotionMemory &memory, std::size_t blocks);

// The blocks forget that they moved.
void forgetMotion(MotionMemory &memory, const std::vector<unsigned char> &blocks);

// What changed with the slide changed once: the blocks of the change are
// moved no more than they were before it began, so a region that moved by
// itself (subtitles) stays known.
void forgetChange(MotionMemory &memory, const std::vector<unsigned char> &blocks);

// A change began: what moved with it in the regions known to move.
void noteMoversAtChange(MotionMemory &memory);

// Whether blocks lie right beside a region known to move that moved as the
// change began: the region moving a little beyond where it was seen (a
// longer subtitle line).
bool besideMovingRegion(const MotionMemory &memory, const std::vector<unsigned char> &blocks,
                        const BlockGrid &grid);

// The region is known to move from now on.
void markMoving(MotionMemory &memory, const std::vector<unsigned char> &blocks);

// ---- the talk's noise

// The noise of recent pairs of frames, outside videos, and the threshold
// it sets for a block's change.
struct NoiseModel {
    qsizetype samples = 0; // how many the level is taken from
    std::deque<float> levels{};
};

void learnNoise(NoiseModel &noise, float level);

// The least change of a block that counts: above the talk's noise, and
// never below minimumStep.
float changeThreshold(const NoiseModel &noise);

// ---- alignment on the camera's shake

// Where the picture lies: the previous frame's, and that of the frame the
// slide settled on, from which a shaking picture is aligned.
struct Alignment {
    int reach = 0;
    Profiles previousProfiles{};
    Shift previousShift{};
    Profiles anchorProfiles{};
    Shift anchorShift{};
    bool recentred = false; // the frame just settled on is the new rest
};

// Where the picture lies: against the frame the slide settled on while it
// still shows much of it (someone in front, a build), else against the
// previous frame; where neither matches, where the previous frame lay.
Shift alignment(const Alignment &align, const Profiles &profiles);

// ---- where the slides are

// The blocks that took part in changes of slide, from which a change in what
// surrounds the slides is told from a change of slide.
struct SlideArea {
    std::vector<int> slideChanges{}; // per block: how many changes of slide it took part in
    int slideChangeCount = 0;
};

void countSlideChange(SlideArea &area, const std::vector<unsigned char> &blocks);

// Whether slides have changed often enough to say where they are.
bool knowsSlides(const SlideArea &area);

// Whether the blocks lie mostly outside the rectangle around where slides
// changed before; until slides have changed there twice, every block may
// hold slides.
bool outsideSlides(const SlideArea &area, const std::vector<unsigned char> &blocks,
                   const BlockGrid &grid);

// A change over a small share of the picture: a line of text.
bool isSmall(const Difference &fromSlide);

// A change of no more than a mouse pointer makes when it moves and comes
// to rest, or goes: one or two small compact spots.
bool pointerOnly(const Difference &fromSlide, const BlockGrid &grid);

// ---- small changes in doubt

// A small change of slide that may yet prove to be motion: the first lines
// of subtitles, or a call's speaker border before the slides have shown
// where they are. The slides on either side of it are held back until the
// talk tells which it is.
struct Doubt {
    int start = 0; // the first frame of the picture after it
    std::vector<unsigned char> blocks{};
    BlockGrid before{};          // the slide's picture before it
    bool besideMotion = false;   // it began as a region beside it moved
    std::vector<float> scores{}; // how much each block had moved when it began
};

// The slide the walk is in: where it starts, the frame it keeps, and the
// doubt about the change that opened it.
struct OpenSlide {
    int start = 0;
    int keptFrame = -1;
    QImage picture{};
    std::optional<Doubt> doubt{};
};

// A slide or video closed but not yet handed over: a doubt at its start or
// at the start of the one after it may still join the two.
struct HeldSegment {
    Segment segment{};
    QImage picture{};
    std::optional<Doubt> doubt{};
};

struct HeldOutput {
    std::vector<HeldSegment> held{};
    int videoCounter = 1;
};

// Where a doubt is: held[index], or the open slide's at index held.size().
using DoubtIndex = std::size_t;

void holdSlide(HeldOutput &out, OpenSlide &slide, int endFrame);
void holdVideo(HeldOutput &out, int startFrame, int endFrame);

// Hands over, in time order, every segment whose end no doubt can move any
// more. False when the sink refused a slide.
bool handOver(HeldOutput &out, const OpenSlide &slide, Timeline &timeline,
              const SlideSink &keepSlide);

// The latest undecided doubt over much of the same blocks, if any.
std::optional<DoubtIndex> doubtOver(HeldOutput &out, OpenSlide &slide,
                                    const std::vector<unsigned char> &blocks,
                                    const BlockGrid &grid);

Doubt &doubtAt(HeldOutput &out, OpenSlide &slide, DoubtIndex index);

// Decides a doubt: a change of slide after all, or motion, which joins the
// slides on either side of it into one.
void decideDoubt(HeldOutput &out, OpenSlide &slide, DoubtIndex index, bool moved);

// Whether the blocks show again, beyond the talk's noise, what they showed
// before: a build taken back, a change of slide of its own.
bool returnsTo(const BlockGrid &before, const BlockGrid &now,
               const std::vector<unsigned char> &blocks, const std::vector<unsigned char> &ignored,
               float threshold);

// How long a doubt waits for the region to change again, and, while the
// slides have not shown where they are, at most.
struct DoubtWait {
    int frames = 0;
    int longestFrames = 0;
    std::size_t mostHeld = 0; // slides held back before the oldest doubt is decided
};

// Decides the doubts that waited long enough, and the oldest while too
// many slides are held: a change outside where slides change is motion, as
// is one that began beside a moving region and went on changing with it
// (the ends of a longer subtitle line); any other one a change of slide.
void decideDueDoubts(HeldOutput &out, OpenSlide &slide, const SlideArea &area,
                     const MotionMemory &motion, const BlockGrid &grid, int frame,
                     const DoubtWait &wait);

} // namespace robust
