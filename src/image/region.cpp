#include "image.h"
#include "imagemat.h"

#include <QLineF>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace
{

// The frame is searched at about this width: the slide's edges still fall
// within a few pixels, and noise averages out.
constexpr int analysisWidth = 480;

// Levels by which a pixel must differ from the wall around the slide to be
// part of what stands out from it.
constexpr int wallTolerance = 8;

// Levels within which a pixel counts as the colour of a bar.
constexpr int plainTolerance = 10;

// What lies around a slide (bars, a wall, the background of a call) is
// darker than this; a frame whose edge is brighter is the slide itself.
constexpr int brightestWall = 64;

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

struct Quadratic {
    double k[6] = {};
    double at(double x, double y) const
    {
        return k[0] + k[1] * x + k[2] * y + k[3] * x * x + k[4] * x * y + k[5] * y * y;
    }
};

// The quadratic through (x, y, value) samples, x and y from -0.5 to 0.5,
// in the least-squares sense; only the samples that used says.
Quadratic fitted(const std::vector<cv::Point3d> &samples, const std::vector<bool> &used)
{
    cv::Mat a(0, 6, CV_64F);
    cv::Mat b(0, 1, CV_64F);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        if (!used[k])
            continue;
        const double x = samples[k].x;
        const double y = samples[k].y;
        const cv::Mat row = (cv::Mat_<double>(1, 6) << 1, x, y, x * x, x * y, y * y);
        a.push_back(row);
        b.push_back(samples[k].z);
    }
    Quadratic quadratic;
    if (a.rows < 6)
        return quadratic;
    cv::Mat coefficients;
    cv::solve(a, b, coefficients, cv::DECOMP_SVD);
    for (int k = 0; k < 6; ++k)
        quadratic.k[k] = coefficients.at<double>(k);
    return quadratic;
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
        wall = fitted(samples, used);
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

// Corners top-left, top-right, bottom-right, bottom-left.
std::array<cv::Point2f, 4> ordered(const std::vector<cv::Point> &points)
{
    std::array<cv::Point2f, 4> corners;
    const auto pick = [&](auto key) {
        return cv::Point2f(
            *std::max_element(points.begin(), points.end(),
                              [&](cv::Point a, cv::Point b) { return key(a) < key(b); }));
    };
    corners[0] = pick([](cv::Point p) { return -(p.x + p.y); });
    corners[1] = pick([](cv::Point p) { return p.x - p.y; });
    corners[2] = pick([](cv::Point p) { return p.x + p.y; });
    corners[3] = pick([](cv::Point p) { return p.y - p.x; });
    return corners;
}

// The outline as four corners, when it has about four.
std::optional<std::array<cv::Point2f, 4>> quadrilateral(const std::vector<cv::Point> &hull)
{
    std::vector<cv::Point> approx;
    cv::approxPolyDP(hull, approx, 0.02 * cv::arcLength(hull, true), true);
    if (approx.size() == 4 && cv::isContourConvex(approx))
        return ordered(approx);
    return std::nullopt;
}

double length(cv::Point2f a, cv::Point2f b)
{
    return std::hypot(double(a.x - b.x), double(a.y - b.y));
}

// Width over height of the rectangle that the corners show in perspective,
// for a camera looking at its picture's middle (the whiteboard method);
// the ratio of the mean sides when the sides are parallel.
double aspectOf(const std::array<QPointF, 4> &corners, QSizeF frame)
{
    const cv::Vec3d centre(frame.width() / 2, frame.height() / 2, 0.0);
    const auto at = [&](int k) {
        return cv::Vec3d(corners[std::size_t(k)].x(), corners[std::size_t(k)].y(), 1.0) - centre;
    };
    const cv::Vec3d m1 = at(0), m2 = at(1), m3 = at(3), m4 = at(2);
    const double sides =
        (length(cv::Point2f(float(m1[0]), float(m1[1])), cv::Point2f(float(m2[0]), float(m2[1]))) +
         length(cv::Point2f(float(m3[0]), float(m3[1])), cv::Point2f(float(m4[0]), float(m4[1])))) /
        std::max(1e-9, length(cv::Point2f(float(m1[0]), float(m1[1])),
                              cv::Point2f(float(m3[0]), float(m3[1]))) +
                           length(cv::Point2f(float(m2[0]), float(m2[1])),
                                  cv::Point2f(float(m4[0]), float(m4[1]))));
    const double k2 = m1.cross(m4).dot(m3) / m2.cross(m4).dot(m3);
    const double k3 = m1.cross(m4).dot(m2) / m3.cross(m4).dot(m2);
    const cv::Vec3d n2 = k2 * m2 - m1;
    const cv::Vec3d n3 = k3 * m3 - m1;
    const double f2 = -(n2[0] * n3[0] + n2[1] * n3[1]) / (n2[2] * n3[2]);
    if (!std::isfinite(f2) || f2 <= 0.0 || std::abs(n2[2] * n3[2]) < 1e-9)
        return sides;
    const double ratio = std::sqrt((n2[0] * n2[0] / f2 + n2[1] * n2[1] / f2 + n2[2] * n2[2]) /
                                   (n3[0] * n3[0] / f2 + n3[1] * n3[1] / f2 + n3[2] * n3[2]));
    return std::isfinite(ratio) && ratio > 0.3 && ratio < 4.0 ? ratio : sides;
}

// Slides come in a few shapes; a measured shape close to one is taken to
// be that one.
double snappedAspect(double aspect, double within)
{
    for (const double common : {4.0 / 3.0, 16.0 / 9.0, 16.0 / 10.0}) {
        if (std::abs(aspect / common - 1.0) < within)
            return common;
    }
    return aspect;
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

// The mean grey level of the pixels of picture from from on, count steps of
// step.
double meanLevel(const QImage &picture, QPoint from, QPoint step, int count)
{
    double sum = 0.0;
    for (int k = 0; k < count; ++k) {
        const QPoint p = from + step * k;
        sum += qGray(reinterpret_cast<const QRgb *>(picture.constScanLine(p.y()))[p.x()]);
    }
    return sum / std::max(1, count);
}

// One edge of an upright slide placed at full resolution: where, within
// reach of where the small picture put it, the level steps most across the
// edge, measured over the middle of its length. The edge stays where it is
// when no step stands out.
int refinedEdge(const QImage &picture, const QRect &rect, int side, int reach)
{
    const bool vertical = side == 0 || side == 2; // left or right
    const int length = vertical ? rect.height() : rect.width();
    const QPoint along = vertical ? QPoint(0, 1) : QPoint(1, 0);
    const QPoint across = vertical ? QPoint(1, 0) : QPoint(0, 1);
    const int edge = side == 0   ? rect.left()
                     : side == 1 ? rect.top()
                     : side == 2 ? rect.right() + 1
                                 : rect.bottom() + 1;
    const int limit = vertical ? picture.width() : picture.height();
    const QPoint start =
        vertical ? QPoint(0, rect.top() + length / 5) : QPoint(rect.left() + length / 5, 0);
    const int count = length * 3 / 5;
    // An edge on the frame's edge stays there, and so does one along a dark
    // band of the slide (a title band as dark as the wall), whose steps are
    // those of its text.
    const int inward = side < 2 ? 1 : -1;
    const int band = std::clamp(edge + inward * 2 * reach, 0, limit - 1);
    if (edge <= 0 || edge >= limit ||
        meanLevel(picture, start + across * band, along, count) < brightestWall)
        return edge;
    int best = edge;
    double bestStep = wallTolerance;
    for (int at = std::max(1, edge - reach); at <= std::min(limit - 1, edge + reach); ++at) {
        const double before = meanLevel(picture, start + across * (at - 1), along, count);
        const double after = meanLevel(picture, start + across * at, along, count);
        if (std::abs(after - before) > bestStep) {
            bestStep = std::abs(after - before);
            best = at;
        }
    }
    return best;
}

QRect refined(const QImage &picture, const QRect &rect, int reach)
{
    const int left = refinedEdge(picture, rect, 0, reach);
    const int top = refinedEdge(picture, rect, 1, reach);
    const int right = refinedEdge(picture, rect, 2, reach);
    const int bottom = refinedEdge(picture, rect, 3, reach);
    return right > left && bottom > top ? QRect(QPoint(left, top), QPoint(right - 1, bottom - 1))
                                        : rect;
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

} // namespace

namespace
{

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

// The perspective mapping of the region's upright picture onto the frame,
// in OpenCV's pixel-centre coordinates.
cv::Mat uprightToFrame(const SlideRegion &region)
{
    std::array<cv::Point2f, 4> corners;
    for (std::size_t k = 0; k < 4; ++k)
        corners[k] =
            cv::Point2f(float(region.corners[k].x()) - 0.5f, float(region.corners[k].y()) - 0.5f);
    const float w = float(region.size.width()) - 0.5f;
    const float h = float(region.size.height()) - 0.5f;
    const std::array<cv::Point2f, 4> upright{cv::Point2f(-0.5f, -0.5f), cv::Point2f(w, -0.5f),
                                             cv::Point2f(w, h), cv::Point2f(-0.5f, h)};
    return cv::getPerspectiveTransform(upright.data(), corners.data());
}

} // namespace

std::optional<SlideRegion> findSlideRegion(const QImage &frame)
{
    if (frame.isNull())
        return std::nullopt;
    const QImage picture = rgb32(frame);
    return regionIn(picture);
}

QImage straightened(const QImage &frame, const SlideRegion &region)
{
    if (!region.rect.isNull())
        return frame.copy(region.rect);
    const QImage picture = rgb32(frame);
    QImage result(region.size, QImage::Format_RGB32);
    cv::Mat target = matOf(result);
    cv::warpPerspective(matOf(picture), target, uprightToFrame(region), target.size(),
                        cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    return result;
}
