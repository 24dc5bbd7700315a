// Qt pictures as OpenCV matrices, for the files of this folder only.
#pragma once

#include <QImage>

#include <utility>

#include <opencv2/core.hpp>

// Whether frame's pixels are four bytes, blue first (in memory on
// little-endian machines).
inline bool isRgb32(const QImage &frame)
{
    return frame.format() == QImage::Format_RGB32 || frame.format() == QImage::Format_ARGB32;
}

// frame in such a format: RGB32 as it is, anything else converted.
inline QImage rgb32(const QImage &frame)
{
    return isRgb32(frame) ? frame : frame.convertToFormat(QImage::Format_RGB32);
}

// frame as it is when its pixels are three bytes (RGB888) or four (RGB32),
// anything else converted to RGB32: what matOf takes.
inline QImage rgb888OrRgb32(const QImage &frame)
{
    return frame.format() == QImage::Format_RGB888 ? frame : rgb32(frame);
}

// A matrix over the pixels of an RGB888 or RGB32 picture, three or four
// bytes a pixel as the picture has them, which must outlive it; the const
// one must not be written to.
inline cv::Mat matOf(const QImage &picture)
{
    const int type = picture.format() == QImage::Format_RGB888 ? CV_8UC3 : CV_8UC4;
    return cv::Mat(picture.height(), picture.width(), type,
                   const_cast<uchar *>(picture.constBits()), std::size_t(picture.bytesPerLine()));
}

inline cv::Mat matOf(QImage &picture)
{
    picture.detach(); // what is written through the matrix is this picture's own
    return matOf(std::as_const(picture));
}
