// The parts of finding a slide in a frame that live in files of their own:
// the geometry of a slanted slide and the placing of an upright slide's
// edges. For the region files only.
#pragma once

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
