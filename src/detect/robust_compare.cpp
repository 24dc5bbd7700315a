// How two block grids differ beyond a change of light, and how much of
// that is the talk's own noise.
#include "robust_internal.h"

#include <algorithm>
#include <cmath>

namespace robust
{

namespace
{

// A light that dims or brightens shifts every block of a similar
// brightness alike, but blocks that are already clipped do not follow, so
// the shift is taken per band of brightness: the median difference of the
// blocks in that band.
constexpr int levelBands = 16;

// A band of fewer blocks says little about the light: it follows the whole
// picture.
constexpr std::size_t bandBlocks = 20;

// A light may also be warmer or colder: every block's colour moves alike,
// by this many levels at most in any channel. A picture whose colour moves
// further (red turned blue) changed.
constexpr float tintLimit = 16.0f;

// A change of colour counts as much as the same change of brightness.
constexpr float colourWeight = 1.0f;

int bandOf(float level)
{
    return std::clamp(int(level) * levelBands / 256, 0, levelBands - 1);
}

float brightness(const float *colour)
{
    return (colour[0] + colour[1] + colour[2]) / 3.0f;
}

std::vector<float> bandShifts(const BlockGrid &before, const BlockGrid &after,
                              const std::vector<unsigned char> &ignored)
{
    std::vector<std::vector<float>> bands(levelBands);
    std::vector<float> all;
    all.reserve(before.blocks());
    for (std::size_t k = 0; k < before.blocks(); ++k) {
        if (ignored[k])
            continue;
        const float level = brightness(&before.means[k * channels]);
        const float delta = brightness(&after.means[k * channels]) - level;
        bands[std::size_t(bandOf(level))].push_back(delta);
        all.push_back(delta);
    }
    const float overall = quantile(std::move(all), 0.5);
    std::vector<float> shifts(levelBands, overall);
    for (int band = 0; band < levelBands; ++band) {
        if (bands[std::size_t(band)].size() >= bandBlocks)
            shifts[std::size_t(band)] = quantile(std::move(bands[std::size_t(band)]), 0.5);
    }
    return shifts;
}

// How each channel moved beyond the brightness, for every block.
float colourChange(const BlockGrid &before, const BlockGrid &after, std::size_t block, int channel)
{
    const float *was = &before.means[block * channels];
    const float *is = &after.means[block * channels];
    return is[channel] - was[channel] - (brightness(is) - brightness(was));
}

// The tint of the light: the median colour change of the blocks, per
// channel, within the limit.
std::vector<float> tintShifts(const BlockGrid &before, const BlockGrid &after,
                              const std::vector<unsigned char> &ignored)
{
    std::vector<float> tints(channels, 0.0f);
    std::vector<float> changes;
    changes.reserve(before.blocks());
    for (int channel = 0; channel < channels; ++channel) {
        changes.clear();
        for (std::size_t k = 0; k < before.blocks(); ++k) {
            if (!ignored[k])
                changes.push_back(colourChange(before, after, k, channel));
        }
        tints[std::size_t(channel)] = std::clamp(quantile(changes, 0.5), -tintLimit, tintLimit);
    }
    return tints;
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

} // namespace

float quantile(std::vector<float> values, double q)
{
    if (values.empty())
        return 0.0f;
    const auto at = values.begin() + std::ptrdiff_t(q * double(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

std::vector<float> residualsBetween(const BlockGrid &before, const BlockGrid &after,
                                    const std::vector<unsigned char> &ignored)
{
    const std::size_t blocks = after.blocks();
    if (!sameShape(before, after) || ignored.size() != blocks)
        return {};
    const std::vector<float> shifts = bandShifts(before, after, ignored);
    const std::vector<float> tints = tintShifts(before, after, ignored);
    std::vector<float> residuals(blocks, -1.0f);
    for (std::size_t k = 0; k < blocks; ++k) {
        if (ignored[k])
            continue;
        const float level = brightness(&before.means[k * channels]);
        float residual = std::fabs(brightness(&after.means[k * channels]) - level -
                                   shifts[std::size_t(bandOf(level))]);
        for (int c = 0; c < channels; ++c)
            residual =
                std::max(residual, colourWeight * std::fabs(colourChange(before, after, k, c) -
                                                            tints[std::size_t(c)]));
        residuals[k] = residual;
    }
    return residuals;
}

int changedBlocks(const Difference &difference)
{
    return int(std::count(difference.changed.begin(), difference.changed.end(), 1));
}

Difference changesAbove(const std::vector<float> &residuals, float threshold, const BlockGrid &grid)
{
    Difference difference;
    const std::size_t blocks = grid.blocks();
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

// From the median block, so that a region that moves, however lively, or a
// change of slide over less than half the picture does not count as noise.
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

} // namespace robust
