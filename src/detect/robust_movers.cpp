// Regions that move by themselves: a speaker's camera, participant tiles,
// subtitles, a lecturer at the lectern.
#include "robust_internal.h"

#include <algorithm>

namespace robust
{

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

} // namespace robust
