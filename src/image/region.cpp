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

// A patch that fills this much of the box around it is an upright slide.
constexpr double uprightCoverage = 0.92;

Analysis analysed(const QImage &frame)
{
    Analysis analysis;
    const int width = std::min(analysisWidth, frame.width());
    const int height =
        std::max(1, int(std::lround(double(frame.height()) * width / frame.width())));
    cv::Mat small;
    cv::resize(matOf(frame), small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    const bool threeBytes = frame.format() == QImage::Format_RGB888;
    cv::cvtColor(small, analysis.grey, threeBytes ? cv::COLOR_RGB2GRAY : cv::COLOR_BGRA2GRAY);
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
    const cv::Rect area = withoutBars(cv::boundingRect(hull), mask);
    if (coverage(hull, area) >= uprightCoverage)
        return uprightSlide(analysis, *wall, area, picture);
    const std::optional<std::array<cv::Point2f, 4>> quad = quadrilateral(hull);
    return quad ? slantedSlide(analysis, pageInPatch(analysis.grey, *quad), picture.size())
                : std::nullopt;
}

} // namespace

std::optional<SlideRegion> findSlideRegion(const QImage &frame)
{
    if (frame.isNull())
        return std::nullopt;
    // Only a small copy is analysed: converting the whole frame first cost
    // more than the search.
    return regionIn(rgb888OrRgb32(frame));
}
