#include "prepare.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace
{

// Small words are read well from about this height in pixels (of letters
// with ascenders); below it their strokes merge and Tesseract misreads them.
constexpr double readableHeight = 20;
// Scaling up beyond this adds no letters that were not there, only cost.
constexpr double largestScale = 3;
// Tesseract's time grows with the pixels it lays out: a picture is scaled
// up to about 3 megapixels at most (a 1080p slide by a quarter), which
// bounds the cost of a slide.
constexpr double mostPixels = 3.2e6;

int odd(int n)
{
    return n | 1;
}

cv::Mat viewOf(QImage &grey)
{
    return cv::Mat(grey.height(), grey.width(), CV_8UC1, grey.bits(),
                   std::size_t(grey.bytesPerLine()));
}

// The level that about one pixel in a hundred of ink reaches: the contrast
// of the slide's words, whatever their colour.
int strongInk(const cv::Mat &ink)
{
    std::array<long, 256> histogram{};
    for (int y = 0; y < ink.rows; ++y) {
        const uchar *row = ink.ptr<uchar>(y);
        for (int x = 0; x < ink.cols; ++x)
            ++histogram[row[x]];
    }
    const double share = 0.01 * double(ink.total());
    long seen = 0;
    int level = 255;
    while (level > 0 && double(seen + histogram[std::size_t(level)]) < share)
        seen += histogram[std::size_t(level--)];
    return level;
}

// Words set off from their ground, in either direction, made dark on white:
// the ground is the median of a window wider than the letters' strokes, so
// light words on a dark bar and dark words on a vignetted wall both come
// out black on white. A window set by the picture's size rather than its
// words would be narrower than the strokes of big bold letters, whose
// middles would then pass for ground and come out hollow. The median is
// taken on a smaller copy: the ground changes slowly, and it costs far less.
void inkOnWhite(cv::Mat grey, double window)
{
    constexpr double smallWindow = 15;
    const double factor = std::min(1.0, smallWindow / window);
    cv::Mat small;
    cv::resize(grey, small, cv::Size(), factor, factor, cv::INTER_AREA);
    cv::Mat groundSmall;
    cv::medianBlur(small, groundSmall, std::max(3, odd(int(std::lround(window * factor)))));
    cv::Mat ground;
    cv::resize(groundSmall, ground, grey.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat ink;
    cv::absdiff(grey, ground, ink);
    // Faint words are stretched as dark as strong ones, but a plain picture
    // with nothing on it keeps its faint noise faint.
    constexpr int faintest = 40;
    const double gain = 255.0 / std::max(faintest, strongInk(ink));
    ink.convertTo(grey, CV_8U, -gain, 255);
}

// The heights of the letters of grey, a picture of dark words on white:
// the parts of its ink the size and shape of letters. Solid blocks (boxes,
// bars, but also dots and the letter l) and thin frames are left out.
std::vector<int> letterHeights(const cv::Mat &darkOnWhite)
{
    cv::Mat letters;
    cv::threshold(darkOnWhite, letters, 128, 255, cv::THRESH_BINARY_INV);
    cv::Mat labels;
    cv::Mat stats;
    cv::Mat centroids;
    const int count =
        cv::connectedComponentsWithStats(letters, labels, stats, centroids, 8, CV_32S);
    std::vector<int> heights;
    for (int i = 1; i < count; ++i) {
        const int height = stats.at<int>(i, cv::CC_STAT_HEIGHT);
        const int width = stats.at<int>(i, cv::CC_STAT_WIDTH);
        const double fill = double(stats.at<int>(i, cv::CC_STAT_AREA)) / (double(width) * height);
        // Letters that touch make wide parts of a letter's height.
        if (height >= 4 && height <= darkOnWhite.rows / 5 && fill >= 0.12 && fill <= 0.85 &&
            width <= 40 * height)
            heights.push_back(height);
    }
    std::sort(heights.begin(), heights.end());
    return heights;
}

double quantile(const std::vector<int> &sorted, double q)
{
    return double(sorted[std::size_t(q * double(sorted.size() - 1))]);
}

// Enough to read the smallest words well (the navigation text and the
// footnotes of a slide make a fifth or so of its letters), within bounds.
double scaleFor(double smallHeight, const cv::Mat &grey)
{
    const double scale = std::clamp(readableHeight / smallHeight, 1.0, largestScale);
    return std::max(1.0, std::min(scale, std::sqrt(mostPixels / double(grey.total()))));
}

} // namespace

QImage preparedForReading(const QImage &slide)
{
    QImage grey = slide.convertToFormat(QImage::Format_Grayscale8);
    cv::Mat view = viewOf(grey);
    // The letters are measured on a first rough picture of the ink, its
    // window a quarter of the picture: wider than the strokes of any letter
    // a slide holds, so that even big bold ones are measured whole rather
    // than in pieces (which would make the window to read with too narrow,
    // and them hollow). The picture to read is made with a window that
    // follows the letters measured.
    cv::Mat rough = view.clone();
    inkOnWhite(rough, std::max(15, std::min(view.cols, view.rows) / 4));
    const std::vector<int> heights = letterHeights(rough);
    if (heights.empty())
        return grey;
    inkOnWhite(view, 2 * quantile(heights, 0.5));
    const double scale = scaleFor(quantile(heights, 0.2), view);
    if (scale == 1.0)
        return grey;
    QImage scaled(int(std::lround(grey.width() * scale)), int(std::lround(grey.height() * scale)),
                  QImage::Format_Grayscale8);
    cv::Mat target = viewOf(scaled);
    cv::resize(view, target, target.size(), 0, 0, cv::INTER_CUBIC);
    return scaled;
}
