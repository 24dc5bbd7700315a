#include "slidefiles.h"

#include <QtEndian>

#include <zlib.h>

#include <cstdlib>

namespace
{

void appendBigEndian(QByteArray &bytes, quint32 value)
{
    char word[4];
    qToBigEndian(value, word);
    bytes.append(word, 4);
}

// A chunk: length, type, data, and the CRC of type and data.
void appendChunk(QByteArray &png, const char type[4], const QByteArray &data)
{
    appendBigEndian(png, quint32(data.size()));
    const qsizetype start = png.size();
    png.append(type, 4);
    png.append(data);
    const auto *crcd = reinterpret_cast<const Bytef *>(png.constData() + start);
    appendBigEndian(png, quint32(crc32(crc32(0, nullptr, 0), crcd, uInt(4 + data.size()))));
}

int paethPredictor(int left, int above, int upperLeft)
{
    const int estimate = left + above - upperLeft;
    const int toLeft = std::abs(estimate - left);
    const int toAbove = std::abs(estimate - above);
    const int toUpperLeft = std::abs(estimate - upperLeft);
    if (toLeft <= toAbove && toLeft <= toUpperLeft)
        return left;
    return toAbove <= toUpperLeft ? above : upperLeft;
}

// Writes the filter type byte and the filtered row (3 bytes a pixel) to out.
// For the first row, above is a row of zeros, as the format has it.
void filterRow(PngFilter filter, const uchar *row, const uchar *above, int rowBytes, uchar *out)
{
    uchar *to = out + 1;
    switch (filter) {
    case PngFilter::Sub:
        out[0] = 1;
        for (int i = 0; i < rowBytes; ++i)
            to[i] = uchar(row[i] - (i < 3 ? 0 : row[i - 3]));
        break;
    case PngFilter::Up:
        out[0] = 2;
        for (int i = 0; i < rowBytes; ++i)
            to[i] = uchar(row[i] - above[i]);
        break;
    case PngFilter::Paeth:
        out[0] = 4;
        for (int i = 0; i < rowBytes; ++i) {
            const int left = i < 3 ? 0 : row[i - 3];
            const int upperLeft = i < 3 ? 0 : above[i - 3];
            to[i] = uchar(row[i] - paethPredictor(left, above[i], upperLeft));
        }
        break;
    }
}

} // namespace

QByteArray pngOf(const QImage &picture, int level, PngFilter filter)
{
    Q_ASSERT(picture.format() == QImage::Format_RGB888);
    const int width = picture.width();
    const int rowBytes = 3 * width;
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    QByteArray header;
    appendBigEndian(header, quint32(width));
    appendBigEndian(header, quint32(picture.height()));
    header.append("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB, deflate, filtered, not interlaced
    appendChunk(png, "IHDR", header);

    z_stream stream{};
    if (deflateInit(&stream, level) != Z_OK)
        return QByteArray();
    QByteArray compressed;
    QByteArray filtered(1 + rowBytes, Qt::Uninitialized);
    const QByteArray zeros(rowBytes, '\0');
    for (int y = 0; y < picture.height(); ++y) {
        const uchar *above = y > 0 ? picture.constScanLine(y - 1)
                                   : reinterpret_cast<const uchar *>(zeros.constData());
        filterRow(filter, picture.constScanLine(y), above, rowBytes,
                  reinterpret_cast<uchar *>(filtered.data()));
        stream.next_in = reinterpret_cast<Bytef *>(filtered.data());
        stream.avail_in = uInt(filtered.size());
        const int flush = y + 1 == picture.height() ? Z_FINISH : Z_NO_FLUSH;
        do {
            char out[65536];
            stream.next_out = reinterpret_cast<Bytef *>(out);
            stream.avail_out = sizeof out;
            deflate(&stream, flush);
            compressed.append(out, qsizetype(sizeof out - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    appendChunk(png, "IDAT", compressed);
    appendChunk(png, "IEND", QByteArray());
    return png;
}
