// Regions that move by themselves: a speaker's camera, participant tiles,
// subtitles, a lecturer at the lectern.
#include "robust_internal.h"

#include <algorithm>

namespace robust
{

namespace
{

// A block seen moving that many times, with the memory fading, belongs to a
// region that moves by itself.
constexpr float moverScore = 1.5f;

} // namespace

std::vector<unsigned char> moverMask(const std::vector<float> &scores, int columns, int rows)
{
    std::vector<unsigned char> mask(scores.size(), 0);
    if (scores.size() != std::size_t(columns) * std::size_t(rows))
        return mask;
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

} // namespace robust
