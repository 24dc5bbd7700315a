#include "image.h"
#include "imagemat.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace
{

// Pictures are compared this small: noise and a shift of a pixel or two
// average out, while a line of text still darkens a row of cells.
constexpr int thumbnailWidth = 160;
constexpr int thumbnailHeight = 120;
constexpr int cellSide = 4;

// The largest mean difference of a cell, in levels, between two showings
// of one picture.
constexpr double sameCellDifference = 9.0;

// In thumbnail pixels: the shake of a camera on a tripod, or a slide found
// a pixel or two apart.
constexpr double shiftTolerance = 0.75;

struct Fit {
    double gain = 1.0;
    double offset = 0.0;
};

// The gain and offset that bring a's levels closest to b's: a camera's
// exposure may differ between two showings.
Fit brightnessFit(const QImage &a, const QImage &b)
{
    double sa = 0, sb = 0, saa = 0, sab = 0;
    double n = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar *pa = a.constScanLine(y);
        const uchar *pb = b.constScanLine(y);
        for (int x = 0; x < a.width() * 4; ++x) {
            if ((x & 3) == 3)
                continue;
            sa += pa[x];
            sb += pb[x];
            saa += double(pa[x]) * pa[x];
            sab += double(pa[x]) * pb[x];
            ++n;
        }
    }
    const double variance = saa - sa * sa / n;
    if (variance < 1.0)
        return {1.0, (sb - sa) / n};
    const double gain = (sab - sa * sb / n) / variance;
    return {gain, (sb - gain * sa) / n};
}

// How much a level at (x, y) of a channel changes per pixel: a shift of a
// fraction of a pixel changes it by that fraction of this.
int slope(const QImage &picture, int x, int y, int channel)
{
    const auto at = [&](int px, int py) {
        px = std::clamp(px, 0, picture.width() - 1);
        py = std::clamp(py, 0, picture.height() - 1);
        return int(picture.constScanLine(py)[px * 4 + channel]);
    };
    return std::max(std::abs(at(x + 1, y) - at(x - 1, y)), std::abs(at(x, y + 1) - at(x, y - 1))) /
           2;
}

double largestCellDifference(const QImage &a, const QImage &b, const Fit &fit)
{
    // The outermost cells are left out: a camera that shakes moves a strip
    // of wall or of bar in and out along the edge. Within, a difference
    // that a shift of up to shiftTolerance pixels explains does not count.
    double largest = 0.0;
    for (int cy = 1; cy < thumbnailHeight / cellSide - 1; ++cy)
        for (int cx = 1; cx < thumbnailWidth / cellSide - 1; ++cx) {
            double sum = 0.0;
            for (int y = cy * cellSide; y < (cy + 1) * cellSide; ++y) {
                const uchar *pa = a.constScanLine(y);
                const uchar *pb = b.constScanLine(y);
                for (int x = cx * cellSide; x < (cx + 1) * cellSide; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const double d =
                            std::abs(fit.gain * pa[x * 4 + c] + fit.offset - pb[x * 4 + c]);
                        const double explained =
                            shiftTolerance *
                            std::max(fit.gain * slope(a, x, y, c), double(slope(b, x, y, c)));
                        sum += std::max(0.0, d - explained);
                    }
            }
            largest = std::max(largest, sum / (cellSide * cellSide * 3));
        }
    return largest;
}

} // namespace

PictureSignature pictureSignature(const QImage &picture)
{
    if (picture.isNull())
        return {};
    QImage thumbnail(thumbnailWidth, thumbnailHeight, QImage::Format_RGB32);
    cv::Mat small = matOf(thumbnail);
    cv::resize(matOf(rgb32(picture)), small, small.size(), 0, 0, cv::INTER_AREA);
    cv::GaussianBlur(small, small, cv::Size(5, 5), 1.0);
    return {thumbnail};
}

bool samePicture(const PictureSignature &a, const PictureSignature &b)
{
    if (a.thumbnail.isNull() || b.thumbnail.isNull())
        return false;
    const double d =
        largestCellDifference(a.thumbnail, b.thumbnail, brightnessFit(a.thumbnail, b.thumbnail));
    return d <= sameCellDifference;
}

RecordSink dedupingSlides(RecordSink next)
{
    // The signature of every picture handed on, with the record of the
    // slide that first showed it as it stood once handed on (its file
    // named); and the slide handed over last, by the number of the picture
    // it showed and its last frame.
    auto kept = std::make_shared<QList<QPair<PictureSignature, SlideRecord>>>();
    auto last = std::make_shared<QPair<int, int>>(0, -2);
    return [next = std::move(next), kept, last](SlideRecord &slide, const QImage &picture) {
        const PictureSignature signature = pictureSignature(picture);
        // The walk found a change between a slide and the one right after
        // it, finer than these small copies can show (a line recoloured):
        // those two are never one picture. After a video between them they
        // may be, as the slide comes back around a clip.
        const int previous = slide.segment.startFrame == last->second + 1 ? last->first : 0;
        const auto earlier = std::find_if(
            kept->cbegin(), kept->cend(), [&](const QPair<PictureSignature, SlideRecord> &k) {
                return k.second.number != previous && samePicture(k.first, signature);
            });
        last->second = slide.segment.endFrame;
        if (earlier != kept->cend()) {
            slide.repeatOf = earlier->second.number;
            slide.image = earlier->second.image;
            last->first = earlier->second.number;
            return true;
        }
        last->first = slide.number;
        const bool handedOn = next(slide, picture);
        kept->append({signature, slide});
        return handedOn;
    };
}
