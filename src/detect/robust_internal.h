// The pieces of the robust walk: block grids of a frame, aligned on the
// camera's shake; how two grids differ beyond a change of light and the
// talk's noise; and which regions move by themselves. Only the files of the
// robust walk include this.
#pragma once

#include <QImage>

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

// |change| of each block beyond the shift of the light (the largest of the
// three channels), -1 for an ignored block; empty when the grids differ in
// shape.
std::vector<float> residualsBetween(const BlockGrid &before, const BlockGrid &after,
                                    const std::vector<unsigned char> &ignored);

struct Difference {
    std::vector<unsigned char> changed; // per block
    int clustered = 0;                  // changed blocks with a changed neighbour
};

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

} // namespace robust
