// An upright slide's edges placed at full resolution, where the small
// picture the slide was found in can only place them within a few pixels.
#include "region_internal.h"

#include <algorithm>
#include <cmath>

namespace
{

// The mean grey level of the pixels of picture from from on, count steps of
// step.
double meanLevel(const QImage &picture, QPoint from, QPoint step, int count)
{
    double sum = 0.0;
    for (int k = 0; k < count; ++k) {
        const QPoint p = from + step * k;
        sum += qGray(picture.pixel(p));
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

} // namespace

QRect refined(const QImage &picture, const QRect &rect, int reach)
{
    const int left = refinedEdge(picture, rect, 0, reach);
    const int top = refinedEdge(picture, rect, 1, reach);
    const int right = refinedEdge(picture, rect, 2, reach);
    const int bottom = refinedEdge(picture, rect, 3, reach);
    return right > left && bottom > top ? QRect(QPoint(left, top), QPoint(right - 1, bottom - 1))
                                        : rect;
}
