// The talk's own noise, learnt from recent pairs of frames, and the change
// of a block it takes to stand above it.
#include "robust_internal.h"

#include <algorithm>

namespace robust
{

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

} // namespace

void learnNoise(NoiseModel &noise, float level)
{
    noise.levels.push_back(level);
    if (qsizetype(noise.levels.size()) > noise.samples)
        noise.levels.pop_front();
}

float changeThreshold(const NoiseModel &noise)
{
    if (noise.levels.empty())
        return minimumStep;
    const std::vector<float> levels(noise.levels.begin(), noise.levels.end());
    return std::max(minimumStep, noiseFactor * quantile(levels, 0.5));
}

} // namespace robust
