#include "deck.h"

#include <opencv2/imgproc.hpp>

namespace
{

// Wide enough to find the borders of a page in the picture, small enough to
// cost little per slide.
constexpr int trimWidth = 320;

// A dark row or column whose levels spread less than this is taken as a
// bar around the page (or a dark band at its edge, which pages and slides
// lose alike); noise, averaged down at this size, stays well below. Light
// margins stay: a faint mark in one would move where the content starts.
constexpr double uniformSpread = 6.0;
constexpr double darkest = 60.0;

cv::Mat greyMat(const QImage &picture)
{
    const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
    const cv::Mat view(grey.height(), grey.width(), CV_8UC1, const_cast<uchar *>(grey.constBits()),
                       std::size_t(grey.bytesPerLine()));
    cv::Mat small;
    const int height =
        std::max(1, int(std::lround(double(trimWidth) * grey.height() / grey.width())));
    cv::resize(view, small, cv::Size(trimWidth, height), 0, 0, cv::INTER_AREA);
    return small;
}

bool bar(const cv::Mat &line)
{
    cv::Scalar mean;
    cv::Scalar spread;
    cv::meanStdDev(line, mean, spread);
    return spread[0] < uniformSpread && mean[0] < darkest;
}

// The part of grey inside its dark bars, or all of it when that part
// would be too small to be a page.
cv::Rect content(const cv::Mat &grey)
{
    int top = 0;
    int bottom = grey.rows;
    int left = 0;
    int right = grey.cols;
    while (top < bottom && bar(grey.row(top)))
        ++top;
    while (bottom > top && bar(grey.row(bottom - 1)))
        --bottom;
    const cv::Range rows(top, std::max(top + 1, bottom));
    while (left < right && bar(grey(rows, cv::Range(left, left + 1))))
        ++left;
    while (right > left && bar(grey(rows, cv::Range(right - 1, right))))
        --right;
    if ((right - left) * 4 < grey.cols || (bottom - top) * 4 < grey.rows)
        return cv::Rect(0, 0, grey.cols, grey.rows);
    return cv::Rect(left, top, right - left, bottom - top);
}

} // namespace

PictureLook lookOf(const QImage &picture)
{
    if (picture.isNull() || picture.width() < 2 || picture.height() < 2)
        return {};
    const cv::Mat grey = greyMat(picture);
    cv::Mat small;
    cv::resize(grey(content(grey)), small, cv::Size(lookWidth, lookHeight), 0, 0, cv::INTER_AREA);
    // A slight blur forgives a shaken or slightly misplaced picture.
    cv::GaussianBlur(small, small, cv::Size(3, 3), 0.8);
    PictureLook look;
    look.grey = QByteArray(reinterpret_cast<const char *>(small.data), lookWidth * lookHeight);
    return look;
}
