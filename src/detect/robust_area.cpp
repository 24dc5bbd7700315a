// Where the slides are: the blocks that took part in changes of slide, from
// which a small change in what surrounds them (a video call's tiles and
// borders, a clock in a task bar) is told from a change of slide.
#include "robust_internal.h"

#include <algorithm>
#include <cmath>

namespace robust
{

namespace
{

// A change over less than this share of the picture is small: a line of
// text.
constexpr double smallChangeShare = 0.05;

// A change with less than this share of its blocks around where slides
// change lies outside the slides.
constexpr double insideShare = 0.5;

// A pointer shows as at most two spots, where it was and where it came to
// rest, each no larger than this share of the picture's height either way:
// a line of text is wider, a word of a heading taller.
constexpr int pointerSpots = 2;
constexpr double pointerShare = 0.06;

// Where the slides are: the blocks that took part in at least two changes
// of slide, and in this share of them. A small change mostly outside the
// rectangle around them is not a change of slide.
constexpr double slideAreaShare = 0.25;

// The rectangle leaves out this share of those blocks on each side: a few
// that changed with slides by chance (a call's border that moved as a
// slide changed) do not stretch it over what surrounds the slides.
constexpr double strayShare = 0.01;

int leastChanges(const SlideArea &area)
{
    return std::max(2, int(std::ceil(slideAreaShare * area.slideChangeCount)));
}

struct Spot {
    int blocks = 0;
    int width = 0;
    int height = 0;
};

// The changed blocks that touch the one at start, each marked seen.
Spot spotAt(const Difference &fromSlide, const BlockGrid &grid, int start,
            std::vector<unsigned char> &seen)
{
    int left = grid.columns;
    int right = -1;
    int top = grid.rows;
    int bottom = -1;
    int blocks = 0;
    std::vector<int> open{start};
    seen[std::size_t(start)] = 1;
    while (!open.empty()) {
        const int k = open.back();
        open.pop_back();
        const int x = k % grid.columns;
        const int y = k / grid.columns;
        ++blocks;
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
        for (int ny = std::max(0, y - 1); ny <= std::min(grid.rows - 1, y + 1); ++ny)
            for (int nx = std::max(0, x - 1); nx <= std::min(grid.columns - 1, x + 1); ++nx) {
                const std::size_t next = std::size_t(ny * grid.columns + nx);
                if (fromSlide.changed[next] && !seen[next]) {
                    seen[next] = 1;
                    open.push_back(int(next));
                }
            }
    }
    return {blocks, right - left + 1, bottom - top + 1};
}

} // namespace

bool pointerOnly(const Difference &fromSlide, const BlockGrid &grid)
{
    if (fromSlide.changed.size() != grid.blocks())
        return false;
    const int side = std::max(3, int(std::lround(pointerShare * grid.rows)));
    std::vector<unsigned char> seen(fromSlide.changed.size(), 0);
    int spots = 0;
    for (std::size_t k = 0; k < fromSlide.changed.size(); ++k) {
        if (!fromSlide.changed[k] || seen[k])
            continue;
        const Spot spot = spotAt(fromSlide, grid, int(k), seen);
        // A lone block is noise, not a spot.
        if (spot.blocks < 2)
            continue;
        if (++spots > pointerSpots || spot.width > side || spot.height > side)
            return false;
    }
    return spots > 0;
}

void countSlideChange(SlideArea &area, const std::vector<unsigned char> &blocks)
{
    if (area.slideChanges.size() != blocks.size())
        area.slideChanges.assign(blocks.size(), 0);
    for (std::size_t k = 0; k < blocks.size(); ++k)
        area.slideChanges[k] += blocks[k] != 0;
    ++area.slideChangeCount;
}

bool knowsSlides(const SlideArea &area)
{
    return area.slideChangeCount >= 2;
}

bool outsideSlides(const SlideArea &area, const std::vector<unsigned char> &blocks,
                   const BlockGrid &grid)
{
    if (area.slideChanges.size() != blocks.size())
        return false;
    const int least = leastChanges(area);
    std::vector<float> xs;
    std::vector<float> ys;
    for (int y = 0; y < grid.rows; ++y)
        for (int x = 0; x < grid.columns; ++x) {
            if (area.slideChanges[std::size_t(y * grid.columns + x)] < least)
                continue;
            xs.push_back(float(x));
            ys.push_back(float(y));
        }
    if (xs.empty())
        return false;
    const int left = int(quantile(xs, strayShare));
    const int right = int(quantile(xs, 1.0 - strayShare));
    const int top = int(quantile(ys, strayShare));
    const int bottom = int(quantile(std::move(ys), 1.0 - strayShare));
    std::vector<unsigned char> inside(blocks.size(), 0);
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            inside[std::size_t(y * grid.columns + x)] = 1;
    return overlap(blocks, inside) < insideShare;
}

bool isSmall(const Difference &fromSlide)
{
    return double(changedBlocks(fromSlide)) < smallChangeShare * double(fromSlide.changed.size());
}

} // namespace robust
