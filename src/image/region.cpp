#include "image.h"
#include "imagemat.h"
#include "region_internal.h"
#include "surface.h"

#include <QLineF>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace
{

// The frame is searched at about this width: the slide's edges still fall
// within a few pixels, and noise averages out.
constexpr int analysisWidth = 480;

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

// A patch that fills this much of the box around it is an upright slide.
constexpr double uprightCoverage = 0.92;

// A slide covers at least this share of the frame.
constexpr double smallestShare = 0.25;

// Edges this close to the frame's edge are the frame's edge: the slide's
// first rows may be as dark as a bar.
constexpr double edgeSnap = 0.01;

struct Analysis {
    cv::Mat grey;    // the frame made small
    double scaleX{}; // frame pixels per analysis pixel
    double scaleY{};
};

Analysis analysed(const QImage &frame)
{
    Analysis analysis;
    const int width = std::min(analysisWidth, frame.width());
    const int height =
        std::max(1, int(std::lround(double(frame.height()) * width / frame.width())));
    cv::Mat small;
    cv::resize(matOf(frame), small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    cv::cvtColor(small, analysis.grey, cv::COLOR_BGRA2GRAY);
    analysis.scaleX = double(frame.width()) / width;
    analysis.scaleY = double(frame.height()) / height;
    return analysis;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(values.size() / 2),
                     values.end());
    return values[values.size() / 2];
}

// The wall's level all over the frame: a smooth surface (a lens darkens
// the corners, a projector lights the middle) through the pixels of the
// frame's edge, from the most common level on, those unlike it (a picture
// touching the edge) left out. Nothing when the edge is too bright for a
// wall.
std::optional<cv::Mat> wallLevels(const cv::Mat &grey)
{
    std::vector<cv::Point3d> samples;
    const int band = 3;
    const double w = grey.cols;
    const double h = grey.rows;
    for (int y = 0; y < grey.rows; y += 2)
        for (int x = 0; x < grey.cols; x += 2) {
            if (y < band || y >= grey.rows - band || x < band || x >= grey.cols - band)
                samples.emplace_back((x + 0.5) / w - 0.5, (y + 0.5) / h - 0.5,
                                     double(grey.at<uchar>(y, x)));
        }
    std::vector<double> values;
    for (const cv::Point3d &sample : samples)
        values.push_back(sample.z);
    Quadratic wall;
    wall.k[0] = median(values);
    if (samples.empty() || wall.k[0] > brightestWall)
        return std::nullopt;
    std::vector<bool> used(samples.size());
    for (int round = 0; round < 3; ++round) {
        std::vector<double> residuals;
        for (const cv::Point3d &sample : samples)
            residuals.push_back(std::abs(wall.at(sample.x, sample.y) - sample.z));
        const double limit = std::max(6.0, 2.5 * median(residuals));
        for (std::size_t k = 0; k < samples.size(); ++k)
            used[k] = residuals[k] <= limit;
        wall = fittedQuadratic(samples, used);
    }
    cv::Mat levels(grey.size(), CV_32F);
    for (int y = 0; y < grey.rows; ++y)
        for (int x = 0; x < grey.cols; ++x)
            levels.at<float>(y, x) = float(wall.at((x + 0.5) / w - 0.5, (y + 0.5) / h - 0.5));
    return levels;
}

// The pixels that stand out from the wall.
cv::Mat standingOut(const cv::Mat &grey, const cv::Mat &wall)
{
    // No blur: the small picture's pixels are already means, and a blur
    // would move the slide's edges outwards.
    cv::Mat blurred;
    grey.convertTo(blurred, CV_32F);
    cv::Mat distance;
    cv::absdiff(blurred, wall, distance);
    cv::Mat mask;
    cv::threshold(distance, mask, wallTolerance, 255, cv::THRESH_BINARY);
    mask.convertTo(mask, CV_8U);
    cv::morphologyEx(mask, mask, cv::MORPH_OPEN,
                     cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
    return mask;
}

// The outline of the largest patch of the mask.
std::vector<cv::Point> largestPatch(const cv::Mat &mask)
{
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask.clone(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::vector<cv::Point> largest;
    double largestArea = 0.0;
    for (const auto &contour : contours) {
        std::vector<cv::Point> hull;
        cv::convexHull(contour, hull);
        const double area = cv::contourArea(hull);
        if (area > largestArea) {
            largestArea = area;
            largest = hull;
        }
    }
    return largest;
}

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

bool plausible(double area, QSize frame)
{
    return area >= smallestShare * double(frame.width()) * frame.height();
}

// How much of area the convex outline covers.
double coverage(const std::vector<cv::Point> &hull, const cv::Rect &area)
{
    const std::vector<cv::Point2f> outline(hull.begin(), hull.end());
    const std::vector<cv::Point2f> box{
        cv::Point2f(float(area.x), float(area.y)),
        cv::Point2f(float(area.x + area.width), float(area.y)),
        cv::Point2f(float(area.x + area.width), float(area.y + area.height)),
        cv::Point2f(float(area.x), float(area.y + area.height))};
    std::vector<cv::Point2f> common;
    const float shared = cv::intersectConvexConvex(outline, box, common);
    return area.area() > 0 ? double(shared) / area.area() : 0.0;
}

// A picture fitted into a frame of another shape sits in its middle: an
// area as far from the left as from the right edge that reaches the top
// or the bottom reaches both, its dark first rows notwithstanding; and so
// across.
cv::Rect centred(cv::Rect area, cv::Size frame)
{
    const int slackX = std::max(2, frame.width / 100);
    const int slackY = std::max(2, frame.height / 100);
    const int touch = 2;
    const int left = area.x;
    const int right = frame.width - area.x - area.width;
    const int top = area.y;
    const int bottom = frame.height - area.y - area.height;
    if (left > slackX && std::abs(left - right) <= slackX && std::min(top, bottom) <= touch)
        return cv::Rect(area.x, 0, area.width, frame.height);
    if (top > slackY && std::abs(top - bottom) <= slackY && std::min(left, right) <= touch)
        return cv::Rect(0, area.y, frame.width, area.height);
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
        const cv::Rect placed = centred(area, analysis.grey.size());
        area = placed == area ? grownToShape(area, analysis.grey, wall) : placed;
    }
    // The patch spreads a little into a wall lit by the slide's glow.
    const int reach = 2 * int(std::ceil(std::max(analysis.scaleX, analysis.scaleY))) + 4;
    const QRect rect = refined(picture, frameRect(area, analysis, frame), reach);
    if (!plausible(double(rect.width()) * rect.height(), frame))
        return std::nullopt;
    return uprightRegion(rect);
}

// A slide seen at an angle: its four corners, and the upright size of the
// shape they show.
std::optional<SlideRegion> slantedSlide(const Analysis &analysis,
                                        const std::array<cv::Point2f, 4> &c, QSize frame)
{
    // Pixel centres to pixel edges: each corner half a pixel outwards.
    const cv::Point2f middle = (c[0] + c[1] + c[2] + c[3]) * 0.25f;
    SlideRegion region;
    std::vector<cv::Point2f> outline;
    for (std::size_t k = 0; k < 4; ++k) {
        const float x = c[k].x + (c[k].x < middle.x ? 0.0f : 1.0f);
        const float y = c[k].y + (c[k].y < middle.y ? 0.0f : 1.0f);
        region.corners[k] = QPointF(x * analysis.scaleX, y * analysis.scaleY);
        outline.emplace_back(float(region.corners[k].x()), float(region.corners[k].y()));
    }
    if (!plausible(cv::contourArea(outline), frame))
        return std::nullopt;
    const auto &k = region.corners;
    const double height = std::max(QLineF(k[0], k[3]).length(), QLineF(k[1], k[2]).length());
    const double aspect = snappedAspect(aspectOf(k, QSizeF(frame)), 0.07);
    region.size = QSize(int(std::lround(height * aspect)), int(std::lround(height)));
    return region;
}

// The slide in picture, straight or slanted.
std::optional<SlideRegion> regionIn(const QImage &picture)
{
    const Analysis analysis = analysed(picture);
    const std::optional<cv::Mat> wall = wallLevels(analysis.grey);
    if (!wall)
        return std::nullopt;
    const cv::Mat mask = standingOut(analysis.grey, *wall);
    const std::vector<cv::Point> hull = largestPatch(mask);
    if (hull.size() < 4)
        return std::nullopt;
    // The box around the patch without the bars at its sides (and a
    // picture laid over them): upright when the patch fills it.
    const cv::Rect area = barsCut(
        cv::boundingRect(hull), [&](cv::Point p) { return mask.at<uchar>(p) == 0; }, false);
    if (coverage(hull, area) >= uprightCoverage)
        return uprightSlide(analysis, *wall, area, picture);
    const std::optional<std::array<cv::Point2f, 4>> quad = quadrilateral(hull);
    return quad ? slantedSlide(analysis, *quad, picture.size()) : std::nullopt;
}

} // namespace

std::optional<SlideRegion> findSlideRegion(const QImage &frame)
{
    if (frame.isNull())
        return std::nullopt;
    const QImage picture = rgb32(frame);
    return regionIn(picture);
}
