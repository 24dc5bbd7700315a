#include "slidefiles.h"

#include <png.h>

#include <csetjmp>
#include <vector>

namespace
{

int libpngFilter(PngFilter filter)
{
    switch (filter) {
    case PngFilter::Sub:
        return PNG_FILTER_SUB;
    case PngFilter::Up:
        return PNG_FILTER_UP;
    case PngFilter::Paeth:
        return PNG_FILTER_PAETH;
    }
    return PNG_FILTER_UP;
}

extern "C" void appendBytes(png_structp png, png_bytep data, size_t length)
{
    auto *bytes = static_cast<QByteArray *>(png_get_io_ptr(png));
    bytes->append(reinterpret_cast<const char *>(data), qsizetype(length));
}

extern "C" void flushNothing(png_structp) {}

// libpng reports a failure by jumping back to the setjmp below, past
// whatever stands between: nothing in this frame or libpng's may need a
// destructor. False on that jump.
bool encode(png_structp png, png_infop info, const QImage &picture, int level, int filter,
            png_bytep *rows, QByteArray *out)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, out, appendBytes, flushNothing);
    png_set_IHDR(png, info, png_uint_32(picture.width()), png_uint_32(picture.height()), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, filter);
    png_set_compression_level(png, level);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

} // namespace

QByteArray pngOf(const QImage &picture, int level, PngFilter filter)
{
    if (picture.format() != QImage::Format_RGB888 || picture.isNull())
        return {};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return {};
    png_infop info = png_create_info_struct(png);
    // Rows straight from the picture: nothing is copied.
    std::vector<png_bytep> rows(size_t(picture.height()));
    for (int y = 0; y < picture.height(); ++y)
        rows[size_t(y)] = const_cast<png_bytep>(picture.constScanLine(y));
    QByteArray out;
    const bool encoded =
        info && encode(png, info, picture, level, libpngFilter(filter), rows.data(), &out);
    png_destroy_write_struct(&png, info ? &info : nullptr);
    return encoded ? out : QByteArray();
}
