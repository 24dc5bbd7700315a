// The state of the robust walk over the frames, shared by its phases: the
// slide's picture and the change pending against it (robust_slide.cpp),
// the start and videos (robust.cpp).
#pragma once

#include "detect.h"
#include "robust_internal.h"

namespace robust
{

enum class Phase {
    Starting, // no picture has held yet
    Settled,  // the current slide's picture holds
    Pending,  // the picture differs from the slide; waiting for it to hold
    Video,    // much of the picture keeps moving
};

// The measures of the last picture stepped on: a still stretch of video
// that was not decoded hands the walk one picture many times over.
struct Measured {
    qint64 picture = 0; // its cacheKey, 0 before the first
    Profiles profiles{};
    int reach = 0;
    bool hasGrid = false;
    Shift gridShift{};
    BlockGrid grid{};
};

struct RobustWalk {
    const SlideSink &keepSlide;
    Timeline &timeline;

    int holdFrames = 0;
    int videoFrames = 0;
    MotionMemory motion{};
    NoiseModel noise{};
    Alignment align{};
    SlideArea area{};
    DoubtWait doubtWait{};
    HeldOutput out{};
    OpenSlide slide{};

    Measured measured{};
    Phase phase = Phase::Starting;
    BlockGrid previous{};
    BlockGrid reference{}; // the slide's picture, averaged over its settled frames
    int referenceWeight = 0;

    std::vector<int> differingSince{}; // per block: first frame of its run unlike the slide
    std::vector<unsigned char> ignoredInVideo{};
    int changeStart = 0; // first frame of the pending change
    int heldFrames = 0;
    int videoStart = 0;
    int stillStart = 0;
    int stillFrames = 0;
};

// Hands over the segments no doubt can change any more.
bool handOverSettled(RobustWalk &walk);

// Closes the open slide after endFrame; the next one starts with doubt
// about the change that opened it when there is one.
bool closeSlide(RobustWalk &walk, int endFrame, std::optional<Doubt> doubt = {});

// The picture of frame holds: it is the slide's from now on.
void settle(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
            const Profiles &profiles, Shift shift);

// The video runs from start at least to the frame before this one.
void enterVideo(RobustWalk &walk, int start, int frame, const std::vector<unsigned char> &ignored);

// A frame while a slide shows, or while a change of it is pending.
bool stepSlide(RobustWalk &walk, int frame, const BlockGrid &grid, const QImage &picture,
               const std::vector<unsigned char> &movers, float threshold, const Profiles &profiles,
               Shift shift);

} // namespace robust
