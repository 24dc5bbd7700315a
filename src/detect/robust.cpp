#include "detect.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace
{

// The frame is judged on the mean brightness of square blocks, about this
// many down the picture whatever its size: sensor and compression noise
// average out inside a block, while a line of text still fills a row of them.
constexpr int gridRows = 90;

// The least change of a block's mean, in levels of 0..255, that can count
// as part of a change of slide. Compression keeps most blocks of a still
// picture exactly as they were and shakes a few at each key frame by up to
// a few levels; this is above that, and far below the ink of a line of text.
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
// move, over at least this share of the picture for this long, is a video
// (a clip, an animation). Whatever moves before the first picture has held
// (a speaker's camera, say) is known to move and left out of the decisions,
// unless it covers videoShare of the picture: the talk opens with a video.
constexpr double freshMotionShare = 0.005;
constexpr double freshMotionSeconds = 3.0;
constexpr double videoShare = 0.25;

// How much of the talk's recent past the noise level is learnt from.
constexpr double noiseSeconds = 60.0;

// A block seen moving that many times, with the memory fading over the
// video window, belongs to a region that moves by itself.
constexpr float moverScore = 1.5f;

struct BlockGrid {
    int columns = 0;
    int rows = 0;
    std::vector<float> means; // row by row, the mean of red + green + blue over 3
};

bool sameShape(const BlockGrid &a, const BlockGrid &b)
{
    return a.columns == b.columns && a.rows == b.rows;
}

// Red + green + blue over count pixels.
quint32 colourSum(const QRgb *pixels, int count)
{
    quint32 sum = 0;
    int x = 0;
#ifdef __SSE2__
    // With alpha cleared (x86 is little-endian: alpha is byte 3 of each
    // pixel), one sum of absolute differences from zero per 16 bytes adds
    // up the colour bytes of four pixels.
    const __m128i colourBytes = _mm_set1_epi32(0x00ffffff);
    __m128i sums = _mm_setzero_si128();
    for (; x + 4 <= count; x += 4) {
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pixels + x));
        sums = _mm_add_epi64(sums,
                             _mm_sad_epu8(_mm_and_si128(four, colourBytes), _mm_setzero_si128()));
    }
    sum = quint32(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
#endif
    for (; x < count; ++x)
        sum += quint32(qRed(pixels[x]) + qGreen(pixels[x]) + qBlue(pixels[x]));
    return sum;
}

// Any format is read through RGB32, whose pixels are whole QRgb words on
// every processor.
BlockGrid blockGrid(const QImage &frame)
{
    const bool inPlace =
        frame.format() == QImage::Format_RGB32 || frame.format() == QImage::Format_ARGB32;
    const QImage image = inPlace ? frame : frame.convertToFormat(QImage::Format_RGB32);
    const int side = std::max(1, (image.height() + gridRows / 2) / gridRows);
    BlockGrid grid;
    grid.columns = std::max(1, image.width() / side);
    grid.rows = std::max(1, image.height() / side);
    grid.means.assign(std::size_t(grid.columns) * std::size_t(grid.rows), 0.0f);
    if (image.isNull())
        return grid;
    const int usedWidth = std::min(image.width(), grid.columns * side);
    const int usedHeight = std::min(image.height(), grid.rows * side);
    std::vector<quint32> sums(std::size_t(grid.columns));
    for (int blockRow = 0; blockRow < grid.rows; ++blockRow) {
        std::fill(sums.begin(), sums.end(), 0u);
        const int endY = std::min(usedHeight, (blockRow + 1) * side);
        for (int y = blockRow * side; y < endY; ++y) {
            const auto *pixels = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int column = 0; column < grid.columns; ++column) {
                const int x = column * side;
                sums[std::size_t(column)] += colourSum(pixels + x, std::min(side, usedWidth - x));
            }
        }
        const int blockHeight = std::max(1, endY - blockRow * side);
        for (int column = 0; column < grid.columns; ++column) {
            const int blockWidth = std::max(1, std::min(usedWidth - column * side, side));
            grid.means[std::size_t(blockRow * grid.columns + column)] =
                float(sums[std::size_t(column)]) / float(3 * blockWidth * blockHeight);
        }
    }
    return grid;
}

float quantile(std::vector<float> values, double q)
{
    if (values.empty())
        return 0.0f;
    const auto at = values.begin() + std::ptrdiff_t(q * double(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

// How one grid differs from another. A light that dims or brightens shifts
// every block of a similar brightness alike, but bright blocks that are
// already clipped do not follow, so the shift is taken per band of
// brightness: the median difference of the blocks in that band.
struct Difference {
    std::vector<unsigned char> changed; // per block
    int clustered = 0;                  // changed blocks with a changed neighbour
};

constexpr int brightnessBands = 16;

int bandOf(float mean)
{
    return std::clamp(int(mean) * brightnessBands / 256, 0, brightnessBands - 1);
}

std::vector<float> bandShifts(const BlockGrid &before, const BlockGrid &after,
                              const std::vector<unsigned char> &ignored)
{
    std::vector<std::vector<float>> bands(brightnessBands);
    std::vector<float> all;
    all.reserve(before.means.size());
    for (std::size_t k = 0; k < before.means.size(); ++k) {
        if (ignored[k])
            continue;
        const float delta = after.means[k] - before.means[k];
        bands[std::size_t(bandOf(before.means[k]))].push_back(delta);
        all.push_back(delta);
    }
    // A band of a few blocks says little about the light: it follows the
    // whole picture.
    const float overall = quantile(all, 0.5);
    std::vector<float> shifts(brightnessBands, overall);
    for (int band = 0; band < brightnessBands; ++band) {
        if (bands[std::size_t(band)].size() >= 20)
            shifts[std::size_t(band)] = quantile(bands[std::size_t(band)], 0.5);
    }
    return shifts;
}

int clusteredCount(const std::vector<unsigned char> &changed, int columns, int rows)
{
    int count = 0;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < columns; ++x) {
            if (!changed[std::size_t(y * columns + x)])
                continue;
            bool touches = false;
            for (int ny = std::max(0, y - 1); ny <= std::min(rows - 1, y + 1) && !touches; ++ny)
                for (int nx = std::max(0, x - 1); nx <= std::min(columns - 1, x + 1); ++nx)
                    if ((nx != x || ny != y) && changed[std::size_t(ny * columns + nx)])
                        touches = true;
            count += touches;
        }
    }
    return count;
}

// |change| of each block beyond the shift of the light, -1 for an ignored
// block; empty when the grids differ in shape.
std::vector<float> residualsBetween(const BlockGrid &before, const BlockGrid &after,
                                    const std::vector<unsigned char> &ignored)
{
    const std::size_t blocks = after.means.size();
    if (!sameShape(before, after) || ignored.size() != blocks)
        return {};
    const std::vector<float> shifts = bandShifts(before, after, ignored);
    std::vector<float> residuals(blocks, -1.0f);
    for (std::size_t k = 0; k < blocks; ++k) {
        if (!ignored[k])
            residuals[k] = std::fabs(after.means[k] - before.means[k] -
                                     shifts[std::size_t(bandOf(before.means[k]))]);
    }
    return residuals;
}

Difference changesAbove(const std::vector<float> &residuals, float threshold, const BlockGrid &grid)
{
    Difference difference;
    const std::size_t blocks = grid.means.size();
    if (residuals.size() != blocks) {
        // Frames of another size have nothing in common with the last.
        difference.changed.assign(blocks, 1);
        difference.clustered = int(blocks);
        return difference;
    }
    difference.changed.assign(blocks, 0);
    for (std::size_t k = 0; k < blocks; ++k)
        difference.changed[k] = residuals[k] > threshold;
    difference.clustered = clusteredCount(difference.changed, grid.columns, grid.rows);
    return difference;
}

Difference compareGrids(const BlockGrid &before, const BlockGrid &after,
                        const std::vector<unsigned char> &ignored, float threshold)
{
    return changesAbove(residualsBetween(before, after, ignored), threshold, after);
}

// The noise of one pair of frames, as a standard deviation: from the median
// block, so that a region that moves, however lively, or a change of slide
// over less than half the picture does not count as noise.
float noiseLevel(const std::vector<float> &residuals, const std::vector<unsigned char> &movers)
{
    std::vector<float> still;
    still.reserve(residuals.size());
    for (std::size_t k = 0; k < residuals.size(); ++k) {
        if (residuals[k] >= 0.0f && !movers[k])
            still.push_back(residuals[k]);
    }
    return 1.4826f * quantile(std::move(still), 0.5);
}

// Blocks that moved repeatedly, each grown by one block all round: a region
// moves a little beyond where it was seen moving.
std::vector<unsigned char> moverMask(const std::vector<float> &scores, int columns, int rows)
{
    std::vector<unsigned char> mask(scores.size(), 0);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            if (scores[std::size_t(y * columns + x)] < moverScore)
                continue;
            for (int ny = std::max(0, y - 1); ny <= std::min(rows - 1, y + 1); ++ny)
                for (int nx = std::max(0, x - 1); nx <= std::min(columns - 1, x + 1); ++nx)
                    mask[std::size_t(ny * columns + nx)] = 1;
        }
    return mask;
}

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
    int freshMotionFrames = 0;
    qsizetype noiseSamples = 0; // how many the noise level is taken from
    float moverDecay = 0.0f;

    Phase phase = Phase::Starting;
    BlockGrid previous{};
    BlockGrid reference{}; // the slide's picture, averaged over its settled frames
    int referenceWeight = 0;
    std::vector<float> moverScores{};
    int freshMotionRun = 0;                         // frames running with fresh motion
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

void settle(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture)
{
    walk.phase = Phase::Settled;
    walk.freshMotionRun = 0;
    walk.keptFrame = frame;
    walk.keptPicture = picture;
    walk.reference = grid;
    walk.referenceWeight = 1;
}

void enterVideo(RobustWalk &walk, int start, const std::vector<unsigned char> &ignored)
{
    walk.phase = Phase::Video;
    walk.videoStart = start;
    walk.ignoredInVideo = ignored;
    if (walk.ignoredInVideo.size() != walk.moverScores.size())
        walk.ignoredInVideo.assign(walk.moverScores.size(), 0);
    walk.stillStart = start;
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

bool stepVideo(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
               float threshold)
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
        settle(walk, frame, grid, picture);
    }
    return true;
}

// Whatever moves before the first picture has held is taken for a region
// that moves by itself, unless it covers much of the picture.
bool stepStarting(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
                  const std::vector<unsigned char> &ignored, float threshold, const Motion &motion)
{
    if (frame == 0) {
        walk.heldFrames = 1;
    } else if (compareGrids(walk.previous, grid, ignored, threshold).clustered < clusterBlocks) {
        ++walk.heldFrames;
    } else {
        walk.heldFrames = 1;
    }
    if (walk.heldFrames >= walk.holdFrames)
        settle(walk, frame, grid, picture);
    else if (walk.freshMotionRun >= walk.freshMotionFrames && motion.share >= videoShare)
        enterVideo(walk, 0, {});
    return true;
}

bool stepSlide(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
               const std::vector<unsigned char> &ignored, float threshold)
{
    if (walk.freshMotionRun >= walk.freshMotionFrames) {
        // The video starts where the picture first gave way.
        // A slide keeps its kept frame, even when its picture held while
        // a region began to move.
        const int start = walk.phase == Phase::Pending
                              ? walk.changeStart
                              : std::max(walk.keptFrame + 1, frame - walk.freshMotionRun);
        const bool kept = closeSlide(walk, start - 1);
        enterVideo(walk, start, walk.knownBeforeMotion);
        return kept;
    }
    const Difference fromSlide = compareGrids(walk.reference, grid, ignored, threshold);
    if (fromSlide.clustered < clusterBlocks) {
        // Back to the slide's picture, or what differed was a region now
        // known to move by itself.
        walk.phase = Phase::Settled;
        followSlide(walk, grid);
        return true;
    }
    if (walk.phase == Phase::Settled) {
        walk.phase = Phase::Pending;
        walk.changeStart = frame;
        walk.heldFrames = 1;
        return true;
    }
    if (compareGrids(walk.previous, grid, ignored, threshold).clustered < clusterBlocks)
        ++walk.heldFrames;
    else
        walk.heldFrames = 1;
    if (walk.heldFrames < walk.holdFrames)
        return true;
    // The slide ends where its picture first gave way, however many steps
    // the new picture took to settle.
    const bool kept = closeSlide(walk, walk.changeStart - 1);
    walk.segmentStart = walk.changeStart;
    // What changed with the slide changed once; it does not move by itself.
    forgetMotion(walk, fromSlide.changed);
    settle(walk, frame, grid, picture);
    return kept;
}

bool step(RobustWalk &walk, int frame, const QImage &picture)
{
    const BlockGrid grid = blockGrid(picture);
    Motion motion;
    if (frame == 0 || !sameShape(walk.previous, grid)) {
        resetMotion(walk, grid.means.size());
    } else {
        // The noise is learnt before the frame is judged, so that the first
        // frames of a noisy talk are judged by its noise already; the
        // motion of a video is no noise.
        const std::vector<float> sincePrevious =
            residualsBetween(walk.previous, grid, std::vector<unsigned char>(grid.means.size(), 0));
        if (walk.phase != Phase::Video)
            learnNoise(walk, noiseLevel(sincePrevious,
                                        moverMask(walk.moverScores, grid.columns, grid.rows)));
        motion = trackMotion(walk, grid, changesAbove(sincePrevious, changeThreshold(walk), grid));
        walk.freshMotionRun = motion.freshShare >= freshMotionShare ? walk.freshMotionRun + 1 : 0;
    }
    const float threshold = changeThreshold(walk);
    const std::vector<unsigned char> ignored = moverMask(walk.moverScores, grid.columns, grid.rows);

    bool kept = true;
    switch (walk.phase) {
    case Phase::Starting:
        kept = stepStarting(walk, frame, grid, picture, ignored, threshold, motion);
        break;
    case Phase::Settled:
    case Phase::Pending:
        kept = stepSlide(walk, frame, grid, picture, ignored, threshold);
        break;
    case Phase::Video:
        kept = stepVideo(walk, frame, grid, picture, threshold);
        break;
    }
    walk.previous = grid;
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
    walk.holdFrames = 1 + framesIn(holdSeconds, fps);
    walk.freshMotionFrames = framesIn(freshMotionSeconds, fps);
    walk.noiseSamples = framesIn(noiseSeconds, fps);
    walk.moverDecay = float(std::exp(-1.0 / (double(std::max(1, options.videoWindow)) * fps)));

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
