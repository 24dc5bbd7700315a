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

// The sum of |delta| over the colour bytes of the first `width` pixels of two
// rows.
std::uint64_t rowDifference(const uchar *rowA, const uchar *rowB, int width)
{
    std::uint64_t total = 0;
    int x = 0;
#ifdef __SSE2__
    // With the alpha bytes of both rows zeroed, one sum of absolute byte
    // differences per 8 bytes is exactly the sum of the per-pixel colour
    // differences; each lands in a 64-bit lane, so the sums cannot overflow.
    const __m128i colourBytes = _mm_set1_epi32(0x00ffffff); // byte 3 clear: x86 is little-endian
    __m128i sums = _mm_setzero_si128();
    for (; x + 16 <= width; x += 16) {
        for (int offset = 4 * x; offset < 4 * x + 64; offset += 16) {
            const auto *a = reinterpret_cast<const __m128i *>(rowA + offset);
            const auto *b = reinterpret_cast<const __m128i *>(rowB + offset);
            const __m128i colourA = _mm_and_si128(_mm_loadu_si128(a), colourBytes);
            const __m128i colourB = _mm_and_si128(_mm_loadu_si128(b), colourBytes);
            sums = _mm_add_epi64(sums, _mm_sad_epu8(colourA, colourB));
        }
    }
    std::uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), sums);
    total = lanes[0] + lanes[1];
#endif
    for (; x < width; ++x)
        total += pixelDifference(rowA + 4 * x, rowB + 4 * x);
    return total;
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

    // Both or neither in place: one blue-first and one red-first would
    // compare blue with red.
    const bool inPlace = readableInPlace(reference.format()) && readableInPlace(candidate.format());
    const QImage a = inPlace ? reference : reference.convertToFormat(QImage::Format_RGBA8888);
    const QImage b = inPlace ? candidate : candidate.convertToFormat(QImage::Format_RGBA8888);
    if (a.isNull() || b.isNull()) // the conversion ran out of memory
        return 0.0;

    // Each image keeps its own stride: read in place, two images of one size
    // may pad their rows differently.
    const int width = a.width();
    std::uint64_t difference = 0;
    std::uint64_t maximum = 0;
    for (int y = 0; y < a.height(); ++y) {
        difference += rowDifference(a.constScanLine(y), b.constScanLine(y), width);
        maximum += 765u * std::uint64_t(width);
    }
    return 1.0 - double(difference) / double(maximum);
}
