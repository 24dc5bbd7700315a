// Block grids of a frame, read in place from 32-bit or packed 24-bit
// pixels, and the shift that aligns a shaking picture on them.
#include "robust_internal.h"

#include <algorithm>
#include <cmath>
#include <optional>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace robust
{

namespace
{

// The frame is judged on the mean colour of square blocks, about this many
// down the picture whatever its size: sensor and compression noise average
// out inside a block, while a line of text still fills a row of them.
constexpr int gridRows = 90;

// A shift must match the picture this much better than none to be taken:
// noise or a region that moves by itself never tips a still picture into a
// shift.
constexpr double shiftGain = 0.05;

// Nor is a shift taken from profiles that match poorly at best: two
// different pictures.
constexpr double shiftMatch = 0.8;

int blockSide(const QImage &image)
{
    return std::max(1, (image.height() + gridRows / 2) / gridRows);
}

bool packed(const QImage &image)
{
    return image.format() == QImage::Format_RGB888;
}

// Red, green and blue of count pixels added to sums[0..2].
void addColours(const QRgb *pixels, int count, quint32 *sums)
{
    int x = 0;
#ifdef __SSE2__
    // One sum of absolute differences from zero per channel adds up that
    // channel's byte of four pixels (x86 is little-endian: blue is byte 0).
    const __m128i zero = _mm_setzero_si128();
    __m128i red = zero;
    __m128i green = zero;
    __m128i blue = zero;
    const __m128i byteMask = _mm_set1_epi32(0xff);
    for (; x + 4 <= count; x += 4) {
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pixels + x));
        blue = _mm_add_epi64(blue, _mm_sad_epu8(_mm_and_si128(four, byteMask), zero));
        green = _mm_add_epi64(green,
                              _mm_sad_epu8(_mm_and_si128(_mm_srli_epi32(four, 8), byteMask), zero));
        red = _mm_add_epi64(red,
                            _mm_sad_epu8(_mm_and_si128(_mm_srli_epi32(four, 16), byteMask), zero));
    }
    const auto total = [](__m128i sum) {
        return quint32(_mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sum, sum)));
    };
    sums[0] += total(red);
    sums[1] += total(green);
    sums[2] += total(blue);
#endif
    for (; x < count; ++x) {
        sums[0] += quint32(qRed(pixels[x]));
        sums[1] += quint32(qGreen(pixels[x]));
        sums[2] += quint32(qBlue(pixels[x]));
    }
}

void addColours(const uchar *pixels, int count, quint32 *sums)
{
    quint32 red = 0;
    quint32 green = 0;
    quint32 blue = 0;
    for (int x = 0; x < count; ++x) {
        red += pixels[3 * x];
        green += pixels[3 * x + 1];
        blue += pixels[3 * x + 2];
    }
    sums[0] += red;
    sums[1] += green;
    sums[2] += blue;
}

void addColours(const QImage &image, int y, int x, int count, quint32 *sums)
{
    if (packed(image))
        addColours(image.constScanLine(y) + 3 * x, count, sums);
    else
        addColours(reinterpret_cast<const QRgb *>(image.constScanLine(y)) + x, count, sums);
}

// Red + green + blue of every pixel of row y added to columns, and the
// row's total.
float addRow(const QImage &image, int y, std::vector<float> &columns)
{
    const int width = image.width();
    quint32 row = 0;
    if (packed(image)) {
        const uchar *pixels = image.constScanLine(y);
        for (int x = 0; x < width; ++x) {
            const quint32 sum = quint32(pixels[3 * x] + pixels[3 * x + 1] + pixels[3 * x + 2]);
            columns[std::size_t(x)] += float(sum);
            row += sum;
        }
    } else {
        const auto *pixels = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const quint32 sum = quint32(qRed(pixels[x]) + qGreen(pixels[x]) + qBlue(pixels[x]));
            columns[std::size_t(x)] += float(sum);
            row += sum;
        }
    }
    return float(row);
}

// Steps between neighbouring entries: a change of light that lifts the
// whole profile leaves them alike.
std::vector<double> steps(const std::vector<float> &profile)
{
    std::vector<double> result(profile.size() > 1 ? profile.size() - 1 : 0);
    for (std::size_t k = 0; k < result.size(); ++k)
        result[k] = double(profile[k + 1]) - double(profile[k]);
    return result;
}

// Normalised correlation of a[k] with b[k + offset] over the entries both
// have, leaving reach entries at each end so that every offset compares as
// many.
double correlation(const std::vector<double> &a, const std::vector<double> &b, int offset,
                   int reach)
{
    const int size = int(std::min(a.size(), b.size()));
    double ab = 0.0;
    double aa = 0.0;
    double bb = 0.0;
    double sa = 0.0;
    double sb = 0.0;
    int count = 0;
    for (int k = reach; k < size - reach; ++k) {
        const double x = a[std::size_t(k)];
        const double y = b[std::size_t(k + offset)];
        ab += x * y;
        aa += x * x;
        bb += y * y;
        sa += x;
        sb += y;
        ++count;
    }
    if (count < 2)
        return 0.0;
    const double covariance = ab - sa * sb / count;
    const double spread = (aa - sa * sa / count) * (bb - sb * sb / count);
    return spread > 0.0 ? covariance / std::sqrt(spread) : 0.0;
}

std::optional<int> offsetBetween(const std::vector<float> &from, const std::vector<float> &to,
                                 int reach)
{
    if (from.size() != to.size())
        return std::nullopt;
    if (reach <= 0)
        return 0;
    const std::vector<double> a = steps(from);
    const std::vector<double> b = steps(to);
    const double still = correlation(a, b, 0, reach);
    int best = 0;
    double bestScore = still + shiftGain;
    for (int offset = -reach; offset <= reach; ++offset) {
        const double score = correlation(a, b, offset, reach);
        if (offset != 0 && score > bestScore) {
            best = offset;
            bestScore = score;
        }
    }
    if (std::max(bestScore - (best == 0 ? shiftGain : 0.0), still) < shiftMatch)
        return std::nullopt;
    return best;
}

} // namespace

bool sameShape(const BlockGrid &a, const BlockGrid &b)
{
    return a.columns == b.columns && a.rows == b.rows;
}

QImage readableFrame(const QImage &frame)
{
    switch (frame.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_RGB888:
        return frame;
    default:
        return frame.convertToFormat(QImage::Format_RGB32);
    }
}

int shiftReach(const QImage &readable)
{
    const int side = blockSide(readable);
    // A tripod shakes by a few pixels either way, and a frame may lie at
    // the other end of the shake from the one the slide settled on.
    const int reach = std::max(4, side / 2);
    // A picture too small to spare the margin is not aligned.
    return readable.width() >= 2 * reach + side && readable.height() >= 2 * reach + side ? reach
                                                                                         : 0;
}

Profiles lineProfiles(const QImage &readable)
{
    Profiles profiles;
    profiles.columns.assign(std::size_t(std::max(0, readable.width())), 0.0f);
    profiles.rows.assign(std::size_t(std::max(0, readable.height())), 0.0f);
    for (int y = 0; y < readable.height(); ++y)
        profiles.rows[std::size_t(y)] = addRow(readable, y, profiles.columns);
    return profiles;
}

std::optional<Shift> shiftBetween(const Profiles &from, const Profiles &to, int reach)
{
    const std::optional<int> x = offsetBetween(from.columns, to.columns, reach);
    const std::optional<int> y = offsetBetween(from.rows, to.rows, reach);
    if (!x || !y)
        return std::nullopt;
    return Shift{*x, *y};
}

BlockGrid blockGrid(const QImage &readable, Shift shift)
{
    const int side = blockSide(readable);
    const int reach = shiftReach(readable);
    const int left = reach + std::clamp(shift.x, -reach, reach);
    const int top = reach + std::clamp(shift.y, -reach, reach);
    BlockGrid grid;
    grid.columns = std::max(1, (readable.width() - 2 * reach) / side);
    grid.rows = std::max(1, (readable.height() - 2 * reach) / side);
    grid.means.assign(grid.blocks() * channels, 0.0f);
    if (readable.isNull())
        return grid;
    const int usedWidth = std::min(readable.width() - left, grid.columns * side);
    const int usedHeight = std::min(readable.height() - top, grid.rows * side);
    std::vector<quint32> sums(std::size_t(grid.columns) * channels);
    for (int blockRow = 0; blockRow < grid.rows; ++blockRow) {
        std::fill(sums.begin(), sums.end(), 0u);
        const int endY = std::min(usedHeight, (blockRow + 1) * side);
        for (int y = blockRow * side; y < endY; ++y) {
            for (int column = 0; column < grid.columns; ++column) {
                const int x = column * side;
                addColours(readable, top + y, left + x, std::min(side, usedWidth - x),
                           &sums[std::size_t(column) * channels]);
            }
        }
        const int blockHeight = std::max(1, endY - blockRow * side);
        for (int column = 0; column < grid.columns; ++column) {
            const int blockWidth = std::max(1, std::min(usedWidth - column * side, side));
            const float pixels = float(blockWidth * blockHeight);
            for (int c = 0; c < channels; ++c)
                grid.means[(std::size_t(blockRow * grid.columns + column)) * channels +
                           std::size_t(c)] =
                    float(sums[std::size_t(column) * channels + std::size_t(c)]) / pixels;
        }
    }
    return grid;
}

Shift alignment(const Alignment &align, const Profiles &profiles)
{
    Shift shift = align.previousShift;
    if (const std::optional<Shift> step = shiftBetween(align.anchorProfiles, profiles, align.reach))
        shift = {align.anchorShift.x + step->x, align.anchorShift.y + step->y};
    else if (const std::optional<Shift> step =
                 shiftBetween(align.previousProfiles, profiles, align.reach))
        shift = {align.previousShift.x + step->x, align.previousShift.y + step->y};
    return {std::clamp(shift.x, -align.reach, align.reach),
            std::clamp(shift.y, -align.reach, align.reach)};
}

} // namespace robust
