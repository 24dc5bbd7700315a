// An upright slide: the patch's box without the bars at its sides, a page
// shown in a screen of another shape, or centred in the frame, its edges
// placed at full resolution.
#include "image.h"
#include "region_internal.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace
{

// Levels within which a pixel counts as the colour of a bar.
constexpr int plainTolerance = 10;

// A column at the side of what stands out is a bar when this much of it is
// wall: a picture laid over the bar (a speaker's camera, say) may cover the
// rest. A row must be wall all along: a slide's own dark title band has
// some text in it.
constexpr double barColumnShare = 0.6;
constexpr double barRowShare = 0.98;

// The two sides of a page shown in a screen of another shape: both this
// much of one exact dark colour (a filmed slide's edges have noise and
// content).
constexpr int exactTolerance = 2;
constexpr double exactShare = 0.8;

// Edges this close to the frame's edge are the frame's edge: the slide's
// first rows may be as dark as a bar.
constexpr double edgeSnap = 0.01;

// The share of count pixels from from on, step by step, for which isWall holds.
template <typename IsWall>
double wallShare(cv::Point from, cv::Point step, int count, const IsWall &isWall)
{
    int wall = 0;
    for (int k = 0; k < count; ++k)
        wall += isWall(from + step * k);
    return count > 0 ? double(wall) / count : 0.0;
}

// Bars cut off area, side by side, one column or row at a time. With
// symmetric, left and right lose the same, as do top and bottom: a page
// fitted into a screen of another shape sits in its middle.
template <typename IsWall> cv::Rect barsCut(cv::Rect area, const IsWall &isWall, bool symmetric)
{
    const auto cut = [](int length, const auto &barAt, int *first, int *last) {
        *first = 0;
        while (*first < length / 2 && barAt(*first, true))
            ++*first;
        *last = 0;
        while (*last < length / 2 && barAt(*last, false))
            ++*last;
    };
    int left = 0;
    int right = 0;
    cut(
        area.width,
        [&](int k, bool fromStart) {
            const int x = fromStart ? area.x + k : area.x + area.width - 1 - k;
            return wallShare({x, area.y}, {0, 1}, area.height, isWall) >= barColumnShare;
        },
        &left, &right);
    if (symmetric)
        left = right = std::min(left, right);
    area.x += left;
    area.width -= left + right;
    int top = 0;
    int bottom = 0;
    cut(
        area.height,
        [&](int k, bool fromStart) {
            const int y = fromStart ? area.y + k : area.y + area.height - 1 - k;
            return wallShare({area.x, y}, {1, 0}, area.width, isWall) >= barRowShare;
        },
        &top, &bottom);
    if (symmetric)
        top = bottom = std::min(top, bottom);
    area.y += top;
    area.height -= top + bottom;
    return area;
}

// Whether the two sides of area (left and right, or top and bottom) are
// bars of one exact dark colour, which is then in *level.
bool pagedInScreen(const cv::Mat &grey, const cv::Rect &area, bool columns, int *level)
{
    const cv::Point first = area.tl();
    const cv::Point second = columns ? cv::Point(area.x + area.width - 1, area.y)
                                     : cv::Point(area.x, area.y + area.height - 1);
    const cv::Point step = columns ? cv::Point(0, 1) : cv::Point(1, 0);
    const int count = columns ? area.height : area.width;
    *level = grey.at<uchar>(first + step * (count / 2));
    if (*level > brightestWall)
        return false;
    const auto exact = [&](cv::Point p) {
        return std::abs(int(grey.at<uchar>(p)) - *level) <= exactTolerance;
    };
    return wallShare(first, step, count, exact) >= exactShare &&
           wallShare(second, step, count, exact) >= exactShare;
}

SlideRegion uprightRegion(const QRect &rect)
{
    SlideRegion region;
    region.rect = rect;
    region.size = rect.size();
    region.corners = {QPointF(rect.left(), rect.top()), QPointF(rect.right() + 1, rect.top()),
                      QPointF(rect.right() + 1, rect.bottom() + 1),
                      QPointF(rect.left(), rect.bottom() + 1)};
    return region;
}

// An analysis rectangle in frame pixels, its sides near the frame's edges
// moved onto them.
QRect frameRect(const cv::Rect &area, const Analysis &analysis, QSize frame)
{
    int left = int(std::lround(area.x * analysis.scaleX));
    int top = int(std::lround(area.y * analysis.scaleY));
    int right = int(std::lround((area.x + area.width) * analysis.scaleX));
    int bottom = int(std::lround((area.y + area.height) * analysis.scaleY));
    const double snapX = edgeSnap * frame.width();
    const double snapY = edgeSnap * frame.height();
    left = left <= snapX ? 0 : left;
    top = top <= snapY ? 0 : top;
    right = frame.width() - right <= snapX ? frame.width() : right;
    bottom = frame.height() - bottom <= snapY ? frame.height() : bottom;
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

// The share of the pixels of band that stand out from the wall.
double standingShare(const cv::Mat &grey, const cv::Mat &wall, cv::Rect band)
{
    band &= cv::Rect(0, 0, grey.cols, grey.rows);
    int standing = 0;
    for (int y = band.y; y < band.y + band.height; ++y)
        for (int x = band.x; x < band.x + band.width; ++x)
            standing += std::abs(grey.at<uchar>(y, x) - wall.at<float>(y, x)) > wallTolerance;
    return band.area() > 0 ? double(standing) / band.area() : 0.0;
}

// Whether band is mostly wall, with at most a few marks on it (a slide's
// dark band with its text) rather than another picture.
bool plainBand(const cv::Mat &grey, const cv::Mat &wall, cv::Rect band)
{
    return standingShare(grey, wall, band) < 0.25;
}

// A picture fitted into a frame of another shape sits in its middle: an
// area as far from the left as from the right edge that reaches the top
// or the bottom reaches both, its dark first rows notwithstanding; and so
// across. Not over other pictures, though: a call's tiles below a shared
// screen in the middle are no dark rows of the slide.
cv::Rect centred(cv::Rect area, const cv::Mat &grey, const cv::Mat &wall)
{
    const cv::Size frame = grey.size();
    const int slackX = std::max(2, frame.width / 100);
    const int slackY = std::max(2, frame.height / 100);
    const int touch = 2;
    const int left = area.x;
    const int right = frame.width - area.x - area.width;
    const int top = area.y;
    const int bottom = frame.height - area.y - area.height;
    const auto plain = [&](cv::Rect band) { return plainBand(grey, wall, band); };
    const cv::Rect tall(area.x, 0, area.width, frame.height);
    if (left > slackX && std::abs(left - right) <= slackX && std::min(top, bottom) <= touch &&
        plain(top <= touch ? cv::Rect(area.x, area.y + area.height, area.width, bottom)
                           : cv::Rect(area.x, 0, area.width, top)))
        return tall;
    const cv::Rect wide(0, area.y, frame.width, area.height);
    if (top > slackY && std::abs(top - bottom) <= slackY && std::min(left, right) <= touch &&
        plain(left <= touch ? cv::Rect(area.x + area.width, area.y, right, area.height)
                            : cv::Rect(0, area.y, left, area.height)))
        return wide;
    return area;
}

// The mean level of band less the wall's there; 0 for an empty band.
double standOut(const cv::Mat &grey, const cv::Mat &wall, cv::Rect band)
{
    band &= cv::Rect(0, 0, grey.cols, grey.rows);
    if (band.area() == 0)
        return 0.0;
    cv::Mat levels;
    grey(band).convertTo(levels, CV_32F);
    return std::abs(cv::mean(levels)[0] - cv::mean(wall(band))[0]);
}

// A filmed slide whose edge band is as dark as the wall (a black title
// band on a dim wall) is found a little short of a common shape: it is
// grown to that shape, on the side whose band stands out from the wall.
cv::Rect grownToShape(const cv::Rect &area, const cv::Mat &grey, const cv::Mat &wall)
{
    const double aspect = double(area.width) / area.height;
    const double shape = snappedAspect(aspect, 0.09);
    if (std::abs(shape / aspect - 1.0) < 0.005)
        return area;
    cv::Rect before = area;
    cv::Rect after = area;
    if (shape < aspect) {
        const int missing = int(std::lround(area.width / shape)) - area.height;
        before = cv::Rect(area.x, area.y - missing, area.width, missing);
        after = cv::Rect(area.x, area.y + area.height, area.width, missing);
    } else {
        const int missing = int(std::lround(area.height * shape)) - area.width;
        before = cv::Rect(area.x - missing, area.y, missing, area.height);
        after = cv::Rect(area.x + area.width, area.y, missing, area.height);
    }
    const cv::Rect band =
        standOut(grey, wall, before) >= standOut(grey, wall, after) ? before : after;
    return (area | band) & cv::Rect(0, 0, grey.cols, grey.rows);
}

} // namespace

// An upright slide: the area the patch fills, without the bars of a page
// shown in a screen of another shape.
std::optional<SlideRegion> uprightSlide(const Analysis &analysis, const cv::Mat &wall,
                                        cv::Rect area, const QImage &picture)
{
    const QSize frame = picture.size();
    bool paged = false;
    for (const bool columns : {true, false}) {
        int level = 0;
        if (area.width > 0 && area.height > 0 &&
            pagedInScreen(analysis.grey, area, columns, &level)) {
            area = barsCut(
                area,
                [&](cv::Point p) {
                    return std::abs(int(analysis.grey.at<uchar>(p)) - level) <= plainTolerance;
                },
                true);
            paged = true;
        }
    }
    if (area.width <= 0 || area.height <= 0)
        return std::nullopt;
    // A picture with bars of its own, or centred in the frame, has its
    // edges where the bars end.
    if (!paged) {
        const cv::Rect placed = centred(area, analysis.grey, wall);
        area = placed == area ? grownToShape(area, analysis.grey, wall) : placed;
    }
    // The patch spreads a little into a wall lit by the slide's glow.
    const int reach = 2 * int(std::ceil(std::max(analysis.scaleX, analysis.scaleY))) + 4;
    const QRect rect = refined(picture, frameRect(area, analysis, frame), reach);
    if (!plausible(double(rect.width()) * rect.height(), frame))
        return std::nullopt;
    return uprightRegion(rect);
}

cv::Rect withoutBars(cv::Rect area, const cv::Mat &mask)
{
    return barsCut(
        area, [&](cv::Point p) { return mask.at<uchar>(p) == 0; }, false);
}
