// Qt pictures as OpenCV matrices, for the files of this folder only.
#pragma once

#include <QImage>

#include <opencv2/core.hpp>

// frame in a format whose pixels are four bytes, blue first (in memory on
// little-endian machines): RGB32 as it is, anything else converted.
inline QImage rgb32(const QImage &frame)
{
    const bool asIs =
        frame.format() == QImage::Format_RGB32 || frame.format() == QImage::Format_ARGB32;
    return asIs ? frame : frame.convertToFormat(QImage::Format_RGB32);
}

// A matrix over the pixels of an RGB32 picture, which must outlive it; the
// const one must not be written to.
inline cv::Mat matOf(const QImage &picture)
{
    return cv::Mat(picture.height(), picture.width(), CV_8UC4,
                   const_cast<uchar *>(picture.constBits()), std::size_t(picture.bytesPerLine()));
}

inline cv::Mat matOf(QImage &picture)
{
    return cv::Mat(picture.height(), picture.width(), CV_8UC4, picture.bits(),
                   std::size_t(picture.bytesPerLine()));
}
