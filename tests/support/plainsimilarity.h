// The frame score as a plain loop computes it: both images converted to
// RGBA8888, red, green and blue compared one pixel at a time. The tests hold
// frameSimilarity to it bit for bit; the benchmark measures against it.
#pragma once

#include <QImage>

#include <cstdlib>

inline double plainSimilarity(const QImage &reference, const QImage &candidate)
{
    if (reference.size() != candidate.size())
        return 0.0;
    const QImage a = reference.convertToFormat(QImage::Format_RGBA8888);
    const QImage b = candidate.convertToFormat(QImage::Format_RGBA8888);
    quint64 difference = 0;
    quint64 maximum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar *p = a.constScanLine(y);
        const uchar *q = b.constScanLine(y);
        for (int i = 0; i < 4 * a.width(); i += 4)
            difference += std::abs(p[i] - q[i]) + std::abs(p[i + 1] - q[i + 1]) +
                          std::abs(p[i + 2] - q[i + 2]);
        maximum += 765u * quint64(a.width());
    }
    return maximum == 0 ? 1.0 : 1.0 - double(difference) / double(maximum);
}
