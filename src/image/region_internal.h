// The parts of finding a slide in a frame that live in files of their own:
// an upright slide among bars, the page inside a projected patch, the
// geometry of a slanted slide and the placing of an upright slide's edges.
// For the region files only.
#pragma once

#include "image.h"

#include <QImage>
#include <QPointF>
#include <QRect>
#include <QSizeF>

#include <opencv2/core.hpp>

#include <array>
#include <optional>
#include <vector>

// Levels by which a pixel must differ from the wall around the slide to be
// part of what stands out from it.
constexpr int wallTolerance = 8;

// What lies around a slide (bars, a wall, the background of a call) is
// darker than this; a frame whose edge is brighter is the slide itself.
constexpr int brightestWall = 64;

// A slide covers at least this share of the frame.
constexpr double smallestShare = 0.25;

inline bool plausible(double area, QSize frame)
{
    return area >= smallestShare * double(frame.width()) * frame.height();
}

struct Analysis {
    cv::Mat grey;    // the frame made small
    double scaleX{}; // frame pixels per analysis pixel
    double scaleY{};
};

// The box area of a patch in mask without the bars at its sides: columns
// mostly, rows wholly outside the patch.
cv::Rect withoutBars(cv::Rect area, const cv::Mat &mask);

// An upright slide in the area of the analysis: without the bars of a page
// shown in a screen of another shape, its edges placed in picture; nothing
// when too little is left.
std::optional<SlideRegion> uprightSlide(const Analysis &analysis, const cv::Mat &wall,
                                        cv::Rect area, const QImage &picture);

// The four corners of the page inside quad, the outline of a patch that
// stands out from the wall in grey: quad itself unless a projector's
// border runs all round a brighter page.
std::array<cv::Point2f, 4> pageInPatch(const cv::Mat &grey, const std::array<cv::Point2f, 4> &quad);

// The outline as four corners, top-left, top-right, bottom-right,
// bottom-left, when it has about four.
std::optional<std::array<cv::Point2f, 4>> quadrilateral(const std::vector<cv::Point> &hull);

// Width over height of the rectangle that the corners show in perspective,
// for a camera looking at its picture's middle (the whiteboard method);
// the ratio of the mean sides when the sides are parallel.
double aspectOf(const std::array<QPointF, 4> &corners, QSizeF frame);

// Slides come in a few shapes; a measured shape within `within` (a share)
// of one is taken to be that one.
double snappedAspect(double aspect, double within);

// rect (an upright slide in picture's pixels) with each edge moved, within
// reach, to where the level steps most across it; rect when that leaves
// nothing.
QRect refined(const QImage &picture, const QRect &rect, int reach);
