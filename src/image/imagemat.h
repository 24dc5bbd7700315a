// Qt pictures as OpenCV matrices, for the files of this folder only.
#pragma once

#include <QImage>

#include <opencv2/core.hpp>

// frame in a format whose pixels are four bytes, blue first (in memory on
// little-endian machines): RGB32 as it is, anything else converted.
inline bool isRgb32(const QImage &frame)
{
    return frame.format() == QImage::Format_RGB32 || frame.format() == QImage::Format_ARGB32;
}

inline QImage rgb32(const QImage &frame)
{
    return isRgb32(frame) ? frame : frame.convertToFormat(QImage::Format_RGB32);
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

// A matrix over the pixels of an RGB888 or RGB32 picture, three or four
// bytes a pixel as the picture has them; the const one must not be written
// to.
inline cv::Mat pixelsOf(const QImage &picture)
{
    const int type = picture.format() == QImage::Format_RGB888 ? CV_8UC3 : CV_8UC4;
    return cv::Mat(picture.height(), picture.width(), type,
                   const_cast<uchar *>(picture.constBits()), std::size_t(picture.bytesPerLine()));
}

inline cv::Mat pixelsOf(QImage &picture)
{
    const int type = picture.format() == QImage::Format_RGB888 ? CV_8UC3 : CV_8UC4;
    return cv::Mat(picture.height(), picture.width(), type, picture.bits(),
                   std::size_t(picture.bytesPerLine()));
}
