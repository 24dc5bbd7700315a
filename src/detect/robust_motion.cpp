// Regions that move by themselves: a speaker's camera, participant tiles,
// subtitles, a lecturer at the lectern; and the walk's memory of motion.
#include "robust_internal.h"

#include <algorithm>

namespace robust
{

namespace
{

// Blocks of a moving region that must touch a change for it to lie beside
// it: more than a corner.
constexpr int besideBlocks = 2;

} // namespace

std::vector<unsigned char> moverMask(const std::vector<float> &scores, int columns, int rows)
{
    std::vector<unsigned char> moved(scores.size(), 0);
    for (std::size_t k = 0; k < scores.size(); ++k)
        moved[k] = scores[k] >= moverScore;
    return grownMask(moved, columns, rows);
}

std::vector<unsigned char> grownMask(const std::vector<unsigned char> &mask, int columns, int rows)
{
    std::vector<unsigned char> grown(mask.size(), 0);
    if (mask.size() != std::size_t(columns) * std::size_t(rows))
        return grown;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            if (!mask[std::size_t(y * columns + x)])
                continue;
            for (int ny = std::max(0, y - 1); ny <= std::min(rows - 1, y + 1); ++ny)
                for (int nx = std::max(0, x - 1); nx <= std::min(columns - 1, x + 1); ++nx)
                    grown[std::size_t(ny * columns + nx)] = 1;
        }
    return grown;
}

double overlap(const std::vector<unsigned char> &blocks, const std::vector<unsigned char> &mask)
{
    if (blocks.size() != mask.size())
        return 0.0;
    int inside = 0;
    int count = 0;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        count += blocks[k] != 0;
        inside += blocks[k] && mask[k];
    }
    return count ? double(inside) / count : 0.0;
}

Motion trackMotion(MotionMemory &memory, const BlockGrid &grid, const Difference &sincePrevious,
                   bool starting)
{
    if (memory.freshRun == 0 || starting)
        memory.knownBeforeRun = moverMask(memory.scores, grid.columns, grid.rows);
    int moving = 0;
    int fresh = 0;
    for (std::size_t k = 0; k < sincePrevious.changed.size(); ++k) {
        memory.scores[k] *= memory.decay;
        if (sincePrevious.changed[k]) {
            memory.scores[k] += 1.0f;
            ++moving;
            fresh += !memory.knownBeforeRun[k];
        }
    }
    memory.movedNow = sincePrevious.changed;
    const double blocks = double(std::max<std::size_t>(1, sincePrevious.changed.size()));
    return {moving / blocks, fresh / blocks};
}

void resetMotion(MotionMemory &memory, std::size_t blocks)
{
    memory.scores.assign(blocks, 0.0f);
    memory.movedNow.assign(blocks, 0);
    memory.freshRun = 0;
}

void forgetMotion(MotionMemory &memory, const std::vector<unsigned char> &blocks)
{
    if (blocks.size() != memory.scores.size())
        return;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        if (blocks[k])
            memory.scores[k] = 0.0f;
    }
}

void forgetChange(MotionMemory &memory, const std::vector<unsigned char> &blocks)
{
    if (blocks.size() != memory.scores.size() || memory.scoresBeforeChange.size() != blocks.size())
        return;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        if (blocks[k])
            memory.scores[k] = std::min(memory.scores[k], memory.scoresBeforeChange[k]);
    }
}

void noteMoversAtChange(MotionMemory &memory)
{
    memory.moversMovingAtChange = memory.knownBeforeChange;
    if (memory.movedNow.size() != memory.knownBeforeChange.size()) {
        memory.moversMovingAtChange.assign(memory.knownBeforeChange.size(), 0);
        return;
    }
    for (std::size_t k = 0; k < memory.movedNow.size(); ++k)
        memory.moversMovingAtChange[k] &= memory.movedNow[k];
}

bool besideMovingRegion(const MotionMemory &memory, const std::vector<unsigned char> &blocks,
                        const BlockGrid &grid)
{
    const std::vector<unsigned char> around = grownMask(blocks, grid.columns, grid.rows);
    if (memory.moversMovingAtChange.size() != around.size())
        return false;
    int touching = 0;
    for (std::size_t k = 0; k < around.size(); ++k)
        touching += around[k] && memory.moversMovingAtChange[k];
    return touching >= besideBlocks;
}

void markMoving(MotionMemory &memory, const std::vector<unsigned char> &blocks)
{
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        if (blocks[k])
            memory.scores[k] = std::max(memory.scores[k], moverScore + 1.0f);
    }
}

} // namespace robust
