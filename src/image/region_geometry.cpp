// The geometry of a slide seen at an angle: its corners, the shape they
// show in perspective, and its picture straightened.
#include "image.h"
#include "imagemat.h"
#include "region_internal.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace
{

double length(cv::Point2f a, cv::Point2f b)
{
    return std::hypot(double(a.x - b.x), double(a.y - b.y));
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

} // namespace

std::optional<std::array<cv::Point2f, 4>> quadrilateral(const std::vector<cv::Point> &hull)
{
    std::vector<cv::Point> approx;
    cv::approxPolyDP(hull, approx, 0.02 * cv::arcLength(hull, true), true);
    if (approx.size() == 4 && cv::isContourConvex(approx))
        return ordered(approx);
    return std::nullopt;
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

namespace
{

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

// The part of frame within rect as a picture of its own that shares the
// frame's pixels, and keeps them, rather than copying them: a slide's
// frames are cut many at a time, and fresh memory is slow to come by.
// Written to, it copies itself first as any picture does.
QImage sharedPart(const QImage &frame, const QRect &rect)
{
    if (frame.depth() % 8 != 0 || !frame.rect().contains(rect))
        return frame.copy(rect);
    auto *owner = new QImage(frame);
    const uchar *start =
        owner->constScanLine(rect.y()) + std::ptrdiff_t(rect.x()) * (owner->depth() / 8);
    return QImage(
        start, rect.width(), rect.height(), owner->bytesPerLine(), owner->format(),
        [](void *held) { delete static_cast<QImage *>(held); }, owner);
}

} // namespace

QImage straightened(const QImage &frame, const SlideRegion &region)
{
    if (!region.rect.isNull())
        return sharedPart(frame, region.rect);
    // Frames come three bytes a pixel: warped as they are, only the slide's
    // pixels are converted, not the whole frame's.
    const QImage picture = rgb888OrRgb32(frame);
    QImage result(region.size, picture.format() == QImage::Format_RGB888 ? QImage::Format_RGB888
                                                                         : QImage::Format_RGB32);
    cv::Mat target = matOf(result);
    cv::warpPerspective(matOf(picture), target, uprightToFrame(region), target.size(),
                        cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    return rgb32(result);
}
