// The page inside a projected patch. A projector lights the screen around
// the page with its own black, lighter than the dim room, so what stands
// out from the wall is larger than the page by a border: each side of the
// patch is moved inwards to where the page begins.
#include "region_internal.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace
{

// A page is this many levels brighter than the border around it at least;
// a patch with less between its darkest edge and its paper is all page.
constexpr double pageContrast = 40.0;

// The page begins where a side's level has risen this share of the way
// from the border to the paper: a dark band of the page (its title bar)
// still rises above the projector's black.
constexpr double pageRise = 0.15;

// A border is at most this share of the patch across.
constexpr double widestBorder = 0.15;

double distance(cv::Point2f a, cv::Point2f b)
{
    return std::hypot(double(a.x - b.x), double(a.y - b.y));
}

// The level that most of the patch's pixels lie below: its paper.
double paperLevel(const cv::Mat &grey, const std::array<cv::Point2f, 4> &quad)
{
    cv::Mat inside = cv::Mat::zeros(grey.size(), CV_8U);
    std::vector<cv::Point> outline;
    for (const cv::Point2f &corner : quad)
        outline.emplace_back(int(std::lround(corner.x)), int(std::lround(corner.y)));
    cv::fillConvexPoly(inside, outline, 255);
    std::vector<int> histogram(256, 0);
    int count = 0;
    for (int y = 0; y < grey.rows; ++y)
        for (int x = 0; x < grey.cols; ++x)
            if (inside.at<uchar>(y, x)) {
                ++histogram[grey.at<uchar>(y, x)];
                ++count;
            }
    int below = 0;
    for (int level = 0; level < 256; ++level) {
        below += histogram[std::size_t(level)];
        if (below >= count * 9 / 10)
            return level;
    }
    return 255.0;
}

// The median level along the middle of the side from a to b, moved by
// inset pixels towards inward: the middle only, so that a corner's
// neighbours and someone standing at one end count for little.
double sideLevel(const cv::Mat &grey, cv::Point2f a, cv::Point2f b, cv::Point2f inward,
                 double inset)
{
    const int count = std::max(3, int(distance(a, b) * 0.6));
    std::vector<uchar> levels;
    for (int k = 0; k < count; ++k) {
        const float t = 0.2f + 0.6f * float(k) / float(count - 1);
        const cv::Point2f p = a + (b - a) * t + inward * float(inset);
        const int x = std::clamp(int(std::lround(p.x)), 0, grey.cols - 1);
        const int y = std::clamp(int(std::lround(p.y)), 0, grey.rows - 1);
        levels.push_back(grey.at<uchar>(y, x));
    }
    std::nth_element(levels.begin(), levels.begin() + std::ptrdiff_t(levels.size() / 2),
                     levels.end());
    return levels[levels.size() / 2];
}

// How far the page lies inside side k of the patch (from corner k to the
// next); 0 when the side's edge is the page's.
double borderOf(const cv::Mat &grey, const std::array<cv::Point2f, 4> &quad, std::size_t k,
                double paper)
{
    const cv::Point2f a = quad[k];
    const cv::Point2f b = quad[(k + 1) % 4];
    const cv::Point2f opposite = (quad[(k + 2) % 4] + quad[(k + 3) % 4]) * 0.5f;
    const cv::Point2f middle = (a + b) * 0.5f;
    const double across = distance(middle, opposite);
    cv::Point2f inward(-(b - a).y, (b - a).x);
    inward *= float(1.0 / std::max(1e-6, distance(a, b)));
    if (inward.dot(opposite - middle) < 0)
        inward = -inward;
    const double border = sideLevel(grey, a, b, inward, 1.0);
    if (paper - border < pageContrast)
        return 0.0;
    const double begins = border + pageRise * (paper - border);
    for (int inset = 2; inset <= int(widestBorder * across); ++inset) {
        if (sideLevel(grey, a, b, inward, inset) >= begins)
            return inset - 0.5;
    }
    return 0.0;
}

// Where the lines through the sides before and after a corner meet.
cv::Point2f meeting(cv::Point2f a1, cv::Point2f a2, cv::Point2f b1, cv::Point2f b2)
{
    const cv::Point2f r = a2 - a1;
    const cv::Point2f s = b2 - b1;
    const double cross = double(r.x) * s.y - double(r.y) * s.x;
    if (std::abs(cross) < 1e-9)
        return a2;
    const cv::Point2f q = b1 - a1;
    const double t = (double(q.x) * s.y - double(q.y) * s.x) / cross;
    return a1 + r * float(t);
}

} // namespace

std::array<cv::Point2f, 4> pageInPatch(const cv::Mat &grey, const std::array<cv::Point2f, 4> &quad)
{
    const double paper = paperLevel(grey, quad);
    std::array<double, 4> border{};
    for (std::size_t k = 0; k < 4; ++k)
        border[k] = borderOf(grey, quad, k, paper);
    // A projector's border runs all round the page; a patch with an edge
    // of its own is the page, whose dark band along one side is no border.
    if (*std::min_element(border.begin(), border.end()) <= 0.0)
        return quad;
    // The border is about as wide above the page as below it: much wider
    // on one is a dark band of the page's own (a title bar, a footer) as
    // dark as the projector's black. Left and right differ by the
    // perspective of a screen seen from the side.
    const double narrower = std::min(border[0], border[2]);
    if (std::max(border[0], border[2]) > 2.0 * narrower)
        border[0] = border[2] = narrower;
    const cv::Point2f centre = (quad[0] + quad[1] + quad[2] + quad[3]) * 0.25f;
    std::array<std::pair<cv::Point2f, cv::Point2f>, 4> sides;
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Point2f a = quad[k];
        const cv::Point2f b = quad[(k + 1) % 4];
        cv::Point2f inward(-(b - a).y, (b - a).x);
        inward *= float(1.0 / std::max(1e-6, distance(a, b)));
        if (inward.dot(centre - a) < 0)
            inward = -inward;
        sides[k] = {a + inward * float(border[k]), b + inward * float(border[k])};
    }
    std::array<cv::Point2f, 4> page;
    for (std::size_t k = 0; k < 4; ++k) {
        const auto &before = sides[(k + 3) % 4];
        const auto &after = sides[k];
        page[k] = meeting(before.first, before.second, after.first, after.second);
    }
    return page;
}
