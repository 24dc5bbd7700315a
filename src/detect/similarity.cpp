#include "detect.h"

#include <cstdint>
#include <cstdlib>

double frameSimilarity(const QImage &reference, const QImage &candidate)
{
    if (reference.size() != candidate.size())
        return 0.0;
    if (reference.isNull()) // both 0 x 0: no pixel to compare
        return 1.0;

    const QImage a = reference.convertToFormat(QImage::Format_RGBA8888);
    const QImage b = candidate.convertToFormat(QImage::Format_RGBA8888);
    if (a.isNull() || b.isNull()) // the conversion ran out of memory
        return 0.0;

    const int width = a.width();
    const int height = a.height();
    const qsizetype stride = a.bytesPerLine();
    std::uint64_t difference = 0;
    std::uint64_t maximum = 0;
    for (int y = 0; y < height; ++y) {
        const uchar *rowA = a.constBits() + stride * y;
        const uchar *rowB = b.constBits() + stride * y;
        for (int x = 0; x < width; ++x) {
            const uchar *p = rowA + 4 * x;
            const uchar *q = rowB + 4 * x;
            difference += std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]);
        }
        maximum += 765u * std::uint64_t(width);
    }
    if (maximum == 0)
        return 1.0;
    return 1.0 - double(difference) / double(maximum);
}
