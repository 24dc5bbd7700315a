#include "detect.h"

#include <cstdint>
#include <cstdlib>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace
{

// Both images are read as 4-byte pixels whose bytes 0, 1 and 2 hold the
// three colours, in the same order in both, and whose byte 3 is alpha, which
// never counts. RGBA8888 is laid out so on every processor. RGB32 and ARGB32
// keep a pixel as one 32-bit word 0xAARRGGBB, so alpha is byte 3 only on
// little-endian processors, where the colours run blue, green, red: a pair of
// these can be read where it is, since the sum of |delta| over the colour
// bytes does not depend on their order as long as both images share it.
constexpr bool nativeWordHasAlphaLast = Q_BYTE_ORDER == Q_LITTLE_ENDIAN;

bool readableInPlace(QImage::Format format)
{
    return nativeWordHasAlphaLast &&
           (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32);
}

std::uint64_t pixelDifference(const uchar *p, const uchar *q)
{
    return std::uint64_t(std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]));
}

// The sum of |delta| over the bytes kept by the mask (its low byte for byte
// 0 of every 4, and so on) of the first `blocks` 16-byte blocks of two rows. One sum of
// absolute byte differences per 8 bytes lands in a 64-bit lane, so the sums
// cannot overflow.
std::uint64_t blockDifference(const uchar *rowA, const uchar *rowB, int blocks, quint32 mask)
{
    std::uint64_t total = 0;
#ifdef __SSE2__
    const __m128i keep = _mm_set1_epi32(int(mask));
    __m128i sums = _mm_setzero_si128();
    for (int offset = 0; offset < 16 * blocks; offset += 16) {
        const auto *a = reinterpret_cast<const __m128i *>(rowA + offset);
        const auto *b = reinterpret_cast<const __m128i *>(rowB + offset);
        const __m128i keptA = _mm_and_si128(_mm_loadu_si128(a), keep);
        const __m128i keptB = _mm_and_si128(_mm_loadu_si128(b), keep);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(keptA, keptB));
    }
    std::uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), sums);
    total = lanes[0] + lanes[1];
#else
    for (int i = 0; i < 16 * blocks; ++i) {
        if ((mask >> (8 * (i % 4))) & 0xffu)
            total += std::uint64_t(std::abs(rowA[i] - rowB[i]));
    }
#endif
    return total;
}

// The sum of |delta| over the colour bytes of the first `width` pixels of two
// rows of 4-byte pixels, alpha last.
std::uint64_t wordRowDifference(const uchar *rowA, const uchar *rowB, int width)
{
    // Alpha, byte 3 of each pixel, left out.
    const int blocks = width / 4;
    std::uint64_t total = blockDifference(rowA, rowB, blocks, 0x00ffffffu);
    for (int x = 4 * blocks; x < width; ++x)
        total += pixelDifference(rowA + 4 * x, rowB + 4 * x);
    return total;
}

// The same for rows of 3-byte pixels, where every byte is a colour.
std::uint64_t packedRowDifference(const uchar *rowA, const uchar *rowB, int width)
{
    const int bytes = 3 * width;
    const int blocks = bytes / 16;
    std::uint64_t total = blockDifference(rowA, rowB, blocks, 0xffffffffu);
    for (int i = 16 * blocks; i < bytes; ++i)
        total += std::uint64_t(std::abs(rowA[i] - rowB[i]));
    return total;
}

// 1 - (difference total / maximum total) over images of one size with
// pixels. Each image keeps its own stride: two images of one size may pad
// their rows differently.
double similarityOf(const QImage &a, const QImage &b,
                    std::uint64_t (*rowDifference)(const uchar *, const uchar *, int))
{
    const int width = a.width();
    std::uint64_t difference = 0;
    std::uint64_t maximum = 0;
    for (int y = 0; y < a.height(); ++y) {
        difference += rowDifference(a.constScanLine(y), b.constScanLine(y), width);
        maximum += 765u * std::uint64_t(width);
    }
    return 1.0 - double(difference) / double(maximum);
}

} // namespace

double frameSimilarity(const QImage &reference, const QImage &candidate)
{
    if (reference.size() != candidate.size())
        return 0.0;
    // Both 0 x 0: no pixel to compare. Past this point both images have
    // pixels, so the maximum total below is never 0.
    if (reference.isNull())
        return 1.0;

    // Frames from the pipe: three colour bytes a pixel, nothing else, so
    // every byte of a row counts.
    if (reference.format() == QImage::Format_RGB888 && candidate.format() == QImage::Format_RGB888)
        return similarityOf(reference, candidate, packedRowDifference);

    // Both or neither in place: one blue-first and one red-first would
    // compare blue with red.
    const bool inPlace = readableInPlace(reference.format()) && readableInPlace(candidate.format());
    const QImage a = inPlace ? reference : reference.convertToFormat(QImage::Format_RGBA8888);
    const QImage b = inPlace ? candidate : candidate.convertToFormat(QImage::Format_RGBA8888);
    if (a.isNull() || b.isNull()) // the conversion ran out of memory
        return 0.0;

    return similarityOf(a, b, wordRowDifference);
}
