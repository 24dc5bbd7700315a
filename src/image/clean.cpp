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
    // A screen recording's frames are mostly the very picture held before:
    // held as one, they take the memory of one.
    const bool again = !settled.frames.isEmpty() && settled.frames.last().second == frame;
    settled.frames.append({index, again ? settled.frames.last().second : frame});
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
            frames.append(frame == frames.last() ? frames.last() : frame);
    }
    return frames;
}

void forgetUpTo(SettledFrames &settled, int endFrame)
{
    settled.frames.removeIf([&](const QPair<int, QImage> &held) { return held.first <= endFrame; });
    settled.base = endFrame + 1;
    settled.stride = 1;
}

// The median of count rows, byte by byte; the first row's own byte where
// all agree but for compression's noise, so that a still picture keeps its
// pixels. Up to sortedByNetwork rows are sorted by a network of minimums
// and maximums along the whole row, which the compiler turns into vector
// instructions: a noisy camera's every byte differs, and sorting them one
// at a time cost more than cutting the frames. More rows are sorted a byte
// at a time.
constexpr int sortedByNetwork = 16;

struct RowSort {
    int count = 0;
    int rowBytes = 0;
    std::vector<uchar> lanes;  // the rows being sorted, one after another
    std::vector<uchar> values; // one byte of each row, sorted a byte at a time
};

RowSort rowSort(int count, int rowBytes)
{
    RowSort sort;
    sort.count = count;
    sort.rowBytes = rowBytes;
    if (count <= sortedByNetwork)
        sort.lanes.resize(std::size_t(count) * std::size_t(rowBytes));
    sort.values.resize(std::size_t(count));
    return sort;
}

uchar *lane(RowSort &sort, int k)
{
    return sort.lanes.data() + std::size_t(k) * std::size_t(sort.rowBytes);
}

// The loops below are written so that they vectorise: values rather than
// std::min's references, and every byte read whichever is chosen.
void ordered(uchar *__restrict a, uchar *__restrict b, int bytes)
{
    for (int offset = 0; offset < bytes; ++offset) {
        const uchar x = a[offset];
        const uchar y = b[offset];
        a[offset] = x < y ? x : y;
        b[offset] = x < y ? y : x;
    }
}

void agreedOrMiddle(const uchar *__restrict low, const uchar *__restrict high,
                    const uchar *__restrict first, const uchar *__restrict middle,
                    uchar *__restrict out, int bytes)
{
    for (int offset = 0; offset < bytes; ++offset) {
        const uchar spread = uchar(high[offset] - low[offset]);
        const uchar own = first[offset];
        const uchar median = middle[offset];
        out[offset] = spread <= agreeingLevels ? own : median;
    }
}

void medianByNetwork(RowSort &sort, const uchar *const *rows, uchar *out)
{
    const int count = sort.count;
    for (int k = 0; k < count; ++k)
        std::memcpy(lane(sort, k), rows[k], std::size_t(sort.rowBytes));
    for (int pass = 0; pass < count; ++pass)
        for (int k = 0; k + 1 < count - pass; ++k)
            ordered(lane(sort, k), lane(sort, k + 1), sort.rowBytes);
    agreedOrMiddle(lane(sort, 0), lane(sort, count - 1), rows[0], lane(sort, count / 2), out,
                   sort.rowBytes);
}

uchar medianOf(RowSort &sort, const uchar *const *rows, int offset)
{
    uchar *values = sort.values.data();
    uchar low = 255;
    uchar high = 0;
    for (int k = 0; k < sort.count; ++k) {
        values[k] = rows[k][offset];
        low = std::min(low, values[k]);
        high = std::max(high, values[k]);
    }
    if (high - low <= agreeingLevels)
        return values[0];
    std::nth_element(values, values + sort.count / 2, values + sort.count);
    return values[sort.count / 2];
}

void medianRow(RowSort &sort, const uchar *const *rows, uchar *out)
{
    if (sort.count <= sortedByNetwork)
        medianByNetwork(sort, rows, out);
    else
        for (int offset = 0; offset < sort.rowBytes; ++offset)
            out[offset] = medianOf(sort, rows, offset);
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
            frames.append(picture);
    }
    if (frames.isEmpty())
        return QImage();
    // Frames come three bytes a pixel and are taken so: one conversion of
    // the median, not one of every frame, each a fresh picture to allocate.
    const bool threeBytes = frames.first().format() == QImage::Format_RGB888;
    const int rowBytes = frames.first().width() * (threeBytes ? 3 : 4);
    qint64 convertedKey = -1;
    QImage converted;
    for (QImage &frame : frames) {
        const bool asIs = threeBytes ? frame.format() == QImage::Format_RGB888 : isRgb32(frame);
        if (asIs)
            continue;
        // Copies of one picture are converted once.
        if (frame.cacheKey() != convertedKey) {
            convertedKey = frame.cacheKey();
            converted = threeBytes ? frame.convertToFormat(QImage::Format_RGB888) : rgb32(frame);
        }
        frame = converted;
    }
    QImage result(frames.first().size(), threeBytes ? QImage::Format_RGB888 : QImage::Format_RGB32);
    const int count = int(frames.size());
    std::vector<const uchar *> rows(static_cast<std::size_t>(count));
    RowSort sort = rowSort(count, rowBytes);
    for (int y = 0; y < result.height(); ++y) {
        for (int k = 0; k < count; ++k)
            rows[std::size_t(k)] = frames.at(k).constScanLine(y);
        uchar *out = result.scanLine(y);
        // A screen recording's frames are mostly the very same pixels.
        const bool same = std::all_of(rows.begin() + 1, rows.end(), [&](const uchar *row) {
            return std::memcmp(row, rows[0], std::size_t(rowBytes)) == 0;
        });
        if (same)
            std::memcpy(out, rows[0], std::size_t(rowBytes));
        else
            medianRow(sort, rows.data(), out);
        // Every fourth byte is the pixel's alpha: opaque, whatever came in.
        if (!threeBytes)
            for (int offset = 3; offset < rowBytes; offset += 4)
                out[offset] = 0xff;
    }
    return rgb32(result);
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
