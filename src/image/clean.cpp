#include "image.h"
#include "imagemat.h"
#include "surface.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>

struct SettledFrames {
    int capacity = 0;
    // Frames are taken at every stride-th index from base; when more than
    // capacity are held, every other one goes and the stride doubles, so the
    // frames held stay spread over the whole slide however long it lasts.
    int stride = 1;
    int base = 0;
    QList<QPair<int, QImage>> frames;
};

namespace
{

// Fewer frames than this make no median worth the name: the kept frame is
// used as it is.
constexpr int fewestForMedian = 3;

// Frames whose levels at a pixel lie this close together show the same
// there.
constexpr int agreeingLevels = 6;

void offer(SettledFrames &settled, int index, const QImage &frame)
{
    if ((index - settled.base) % settled.stride != 0)
        return;
    settled.frames.append({index, frame});
    if (settled.frames.size() <= settled.capacity)
        return;
    settled.stride *= 2;
    settled.frames.removeIf([&](const QPair<int, QImage> &held) {
        return (held.first - settled.base) % settled.stride != 0;
    });
}

// The frames of slide held, its kept picture among them.
QList<QImage> framesOf(const SettledFrames &settled, const Segment &slide, const QImage &picture)
{
    QList<QImage> frames{picture};
    for (const auto &[index, frame] : settled.frames) {
        if (index > slide.keptFrame && index <= slide.endFrame && frame.size() == picture.size())
            frames.append(frame);
    }
    return frames;
}

void forgetUpTo(SettledFrames &settled, int endFrame)
{
    settled.frames.removeIf([&](const QPair<int, QImage> &held) { return held.first <= endFrame; });
    settled.base = endFrame + 1;
    settled.stride = 1;
}

// The median of the bytes at offset in count rows; the first row's own
// byte where all agree but for compression's noise, which is the common
// case and the quick one.
uchar medianOf(const uchar *const *rows, int count, int offset, uchar *values)
{
    uchar low = 255;
    uchar high = 0;
    for (int k = 0; k < count; ++k) {
        values[k] = rows[k][offset];
        low = std::min(low, values[k]);
        high = std::max(high, values[k]);
    }
    if (high - low <= agreeingLevels)
        return values[0];
    std::nth_element(values, values + count / 2, values + count);
    return values[count / 2];
}

// The paper's level across a picture: a smooth surface (a quadratic in x
// and y) through the brightest pixels of those cells of a grid that hold
// paper, per colour. Empty when too few cells hold paper.
constexpr int gridColumns = 16;
constexpr int gridRows = 12;

std::optional<std::array<Quadratic, 3>> paperSurfaces(const QImage &picture)
{
    // The brightest pixels of a cell, made a little smaller first so that
    // noise does not count as paper.
    cv::Mat small;
    cv::resize(matOf(picture), small, cv::Size(gridColumns * 8, gridRows * 8), 0, 0,
               cv::INTER_AREA);
    std::vector<cv::Vec3d> whites;
    std::vector<double> levels;
    for (int gy = 0; gy < gridRows; ++gy)
        for (int gx = 0; gx < gridColumns; ++gx) {
            cv::Vec3d white(0, 0, 0);
            double level = 0.0;
            for (int y = gy * 8; y < gy * 8 + 8; ++y)
                for (int x = gx * 8; x < gx * 8 + 8; ++x) {
                    const cv::Vec4b p = small.at<cv::Vec4b>(y, x);
                    const double l = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
                    if (l > level) {
                        level = l;
                        white = cv::Vec3d(p[0], p[1], p[2]);
                    }
                }
            whites.push_back(white);
            levels.push_back(level);
        }
    std::vector<double> sorted = levels;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(sorted.size() * 9 / 10),
                     sorted.end());
    const double paper = sorted[sorted.size() * 9 / 10];
    // A cell whose brightest is far below the paper holds a picture or a
    // dark band; a page with little paper (shown in negative, say) is left.
    // Then, twice, cells well below the surface fitted so far (a light
    // colour, not paper) are left out too.
    // Paper is near grey, even under a warm light; a cell whose brightest is
    // a strong colour (a coloured box on the slide) is no paper either.
    std::vector<bool> used(levels.size());
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const cv::Vec3d &white = whites[k];
        const double spread =
            std::max({white[0], white[1], white[2]}) - std::min({white[0], white[1], white[2]});
        used[k] = levels[k] >= 0.7 * paper && spread <= 0.35 * levels[k];
    }
    std::array<Quadratic, 3> surfaces;
    std::array<std::vector<cv::Point3d>, 3> samples;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const double x = (double(k % gridColumns) + 0.5) / gridColumns - 0.5;
        const double y = (double(k / gridColumns) + 0.5) / gridRows - 0.5;
        for (std::size_t c = 0; c < 3; ++c)
            samples[c].emplace_back(x, y, whites[k][int(c)]);
    }
    for (int round = 0; round < 3; ++round) {
        int cells = 0;
        for (std::size_t k = 0; k < levels.size(); ++k) {
            if (round > 0 && used[k])
                used[k] = levels[k] >= 0.93 * surfaces[1].at(samples[1][k].x, samples[1][k].y);
            cells += used[k];
        }
        if (paper < 96 || cells < gridColumns * gridRows / 2)
            return std::nullopt;
        for (std::size_t c = 0; c < 3; ++c)
            surfaces[c] = fittedQuadratic(samples[c], used);
    }
    return surfaces;
}

// How much the paper's level varies over the picture, as the darkest over
// the brightest of its samples.
double evenness(const std::array<Quadratic, 3> &surfaces)
{
    double darkest = 1e9;
    double brightest = 0.0;
    for (int gy = 0; gy <= 4; ++gy)
        for (int gx = 0; gx <= 4; ++gx) {
            const double x = gx / 4.0 - 0.5;
            const double y = gy / 4.0 - 0.5;
            const double level = surfaces[1].at(x, y);
            darkest = std::min(darkest, level);
            brightest = std::max(brightest, level);
        }
    return brightest > 0.0 ? darkest / brightest : 1.0;
}

} // namespace

std::shared_ptr<SettledFrames> settledFrames(int capacity)
{
    auto settled = std::make_shared<SettledFrames>();
    settled->capacity = std::max(1, capacity);
    return settled;
}

FrameSource keepingSettledFrames(FrameSource frames, std::shared_ptr<SettledFrames> settled)
{
    return [frames = std::move(frames), settled](int i) -> std::optional<QImage> {
        std::optional<QImage> frame = frames(i);
        if (frame && !frame->isNull())
            offer(*settled, i, *frame);
        return frame;
    };
}

QList<QImage> takeSlideFrames(SettledFrames &settled, const Segment &slide, const QImage &picture)
{
    const QList<QImage> frames = framesOf(settled, slide, picture);
    forgetUpTo(settled, slide.endFrame);
    return frames;
}

RecordSink cleaningSlides(RecordSink next, std::shared_ptr<SettledFrames> settled,
                          std::shared_ptr<SlideCutter> cutter)
{
    return [next = std::move(next), settled, cutter](SlideRecord &slide, const QImage &picture) {
        QList<QImage> frames = takeSlideFrames(*settled, slide.segment, picture);
        if (cutter)
            frames = cutToSlide(*cutter, frames);
        const QImage median =
            frames.size() >= fewestForMedian ? medianPicture(frames) : frames.first();
        return next(slide, flattenedLight(median));
    };
}

QImage medianPicture(const QList<QImage> &pictures)
{
    // Pictures of another size than the first have no pixel to match: they
    // take no part.
    QList<QImage> frames;
    for (const QImage &picture : pictures) {
        if (!picture.isNull() && (frames.isEmpty() || picture.size() == frames.first().size()))
            frames.append(rgb32(picture));
    }
    const int count = int(frames.size());
    if (count == 0)
        return QImage();
    std::vector<uchar> values(static_cast<std::size_t>(count));
    QImage result(frames.first().size(), QImage::Format_RGB32);
    const int rowBytes = result.width() * 4;
    std::vector<const uchar *> rows(static_cast<std::size_t>(count));
    for (int y = 0; y < result.height(); ++y) {
        for (int k = 0; k < count; ++k)
            rows[std::size_t(k)] = frames.at(k).constScanLine(y);
        uchar *out = result.scanLine(y);
        // A screen recording's frames are mostly the very same pixels.
        const bool same = std::all_of(rows.begin() + 1, rows.end(), [&](const uchar *row) {
            return std::memcmp(row, rows[0], std::size_t(rowBytes)) == 0;
        });
        if (same) {
            std::memcpy(out, rows[0], std::size_t(rowBytes));
            continue;
        }
        for (int offset = 0; offset < rowBytes; ++offset)
            out[offset] =
                (offset & 3) == 3 ? 0xff : medianOf(rows.data(), count, offset, values.data());
    }
    return result;
}

QImage flattenedLight(const QImage &picture)
{
    if (picture.isNull())
        return picture;
    const QImage source = rgb32(picture);
    const std::optional<std::array<Quadratic, 3>> surfaces = paperSurfaces(source);
    // Light even to a tenth is left as it is: a screen recording is.
    if (!surfaces || evenness(*surfaces) > 0.9)
        return picture;
    QImage result(source.size(), QImage::Format_RGB32);
    const double w = source.width();
    const double h = source.height();
    for (int y = 0; y < source.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(source.constScanLine(y));
        auto *out = reinterpret_cast<QRgb *>(result.scanLine(y));
        const double fy = (y + 0.5) / h - 0.5;
        for (int x = 0; x < source.width(); ++x) {
            const double fx = (x + 0.5) / w - 0.5;
            int channel[3];
            const int value[3] = {qBlue(in[x]), qGreen(in[x]), qRed(in[x])};
            for (std::size_t c = 0; c < 3; ++c) {
                const double paper = std::max(16.0, (*surfaces)[std::size_t(c)].at(fx, fy));
                channel[c] = std::clamp(int(value[c] * 255.0 / paper + 0.5), 0, 255);
            }
            out[x] = qRgb(channel[2], channel[1], channel[0]);
        }
    }
    return result;
}
