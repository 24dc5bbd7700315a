// Where the slides are: the blocks that took part in changes of slide, from
// which a small change in what surrounds them (a video call's tiles and
// borders, a clock in a task bar) or in a region that keeps changing
// (subtitles) is told from a change of slide.
#include "robust_internal.h"

#include <algorithm>
#include <cmath>

namespace robust
{

namespace
{

// A change over less than this share of the picture is small: a line of
// text. A small change over much of where another small one was a few
// seconds before is a region that keeps changing (subtitles), not a change
// of slide.
constexpr double smallChangeShare = 0.05;
constexpr double repeatShare = 0.5;

// Where the slides are: the blocks that took part in at least two changes
// of slide, and in this share of them. A small change mostly outside the
// rectangle around them is not a change of slide.
constexpr double slideAreaShare = 0.25;

} // namespace

void countSlideChange(SlideArea &area, const std::vector<unsigned char> &blocks)
{
    if (area.slideChanges.size() != blocks.size())
        area.slideChanges.assign(blocks.size(), 0);
    for (std::size_t k = 0; k < blocks.size(); ++k)
        area.slideChanges[k] += blocks[k] != 0;
    ++area.slideChangeCount;
}

bool outsideSlides(const SlideArea &area, const Difference &fromSlide, const BlockGrid &grid)
{
    if (area.slideChanges.size() != fromSlide.changed.size())
        return false;
    const int least = std::max(2, int(std::ceil(slideAreaShare * area.slideChangeCount)));
    int left = grid.columns;
    int right = -1;
    int top = grid.rows;
    int bottom = -1;
    for (int y = 0; y < grid.rows; ++y)
        for (int x = 0; x < grid.columns; ++x) {
            if (area.slideChanges[std::size_t(y * grid.columns + x)] < least)
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

bool movesAgain(SlideArea &area, const Difference &fromSlide, int start)
{
    const bool repeated = start - area.lastSmallChangeFrame <= area.repeatFrames &&
                          overlap(fromSlide.changed, area.lastSmallChange) >= repeatShare;
    area.lastSmallChange = fromSlide.changed;
    area.lastSmallChangeFrame = start;
    return repeated;
}

} // namespace robust
