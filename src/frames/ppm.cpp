#include "frames.h"

#include <QObject>
#include <QtEndian>

#include <cstring>

namespace
{

// ffmpeg sends each frame as a binary PPM picture: "P6", its width, height
// and largest sample value as decimal text, then 3 samples per pixel, row by
// row. It picks 8-bit samples wherever its PNG encoder would write an 8-bit
// RGB file, and 16-bit ones (largest value 65535) where that would be a
// 16-bit file, so the pictures are those the frame files would decode to.
//
// Sizes are checked before anything is allocated: a damaged header must not
// make the reader ask for gigabytes. 16384 pixels each way is more than any
// video ffmpeg decodes in practice.
constexpr int largestSide = 16384;
// A frame takes at most what the largest 8-bit one would: 16-bit frames
// take eight bytes a pixel, and at 16384 pixels each way 2 GiB.
constexpr qint64 largestFrameBytes = qint64(largestSide) * largestSide * 3;
// The longest number a header may hold; more digits are not a size.
constexpr int longestNumber = 9;
// Header bytes are read this many at a time; the pixels go straight into the
// frame.
constexpr qsizetype chunkBytes = 1 << 16;

enum class Got { Data, End, Stopped };

// Makes sure the buffer holds an unread byte.
Got fill(PpmStream &stream)
{
    if (stream.position < stream.buffer.size())
        return Got::Data;
    stream.buffer.resize(chunkBytes);
    const qint64 got = stream.source(stream.buffer.data(), chunkBytes);
    stream.position = 0;
    stream.buffer.resize(got > 0 ? qsizetype(got) : 0);
    return got > 0 ? Got::Data : (got == 0 ? Got::End : Got::Stopped);
}

// Reads exactly size bytes: first what the buffer holds, then straight from
// the source. Fewer only when the stream ends or stops.
Got readExactly(PpmStream &stream, char *data, qint64 size, qint64 *got)
{
    const qint64 buffered = qMin<qint64>(size, qint64(stream.buffer.size() - stream.position));
    std::memcpy(data, stream.buffer.constData() + stream.position, std::size_t(buffered));
    stream.position += qsizetype(buffered);
    *got = buffered;
    while (*got < size) {
        const qint64 read = stream.source(data + *got, size - *got);
        if (read <= 0)
            return read == 0 ? Got::End : Got::Stopped;
        *got += read;
    }
    return Got::Data;
}

PpmRead endedWith(Got got)
{
    return {got == Got::Stopped ? PpmRead::Stopped : PpmRead::Cut, {}};
}

PpmRead notPpm(int frameNumber)
{
    return {PpmRead::Unreadable, QObject::tr("frame %1 is not a PPM picture").arg(frameNumber)};
}

bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads one decimal number of the header and the single whitespace byte after
// it, after skipping whitespace before it.
PpmRead readNumber(PpmStream &stream, int frameNumber, qint64 *value)
{
    char c = ' ';
    while (isSpace(c)) {
        const Got got = fill(stream);
        if (got != Got::Data)
            return endedWith(got);
        c = stream.buffer.at(stream.position++);
    }
    *value = 0;
    for (int digits = 0; !isSpace(c); ++digits) {
        if (!isDigit(c) || digits == longestNumber)
            return notPpm(frameNumber);
        *value = *value * 10 + (c - '0');
        const Got got = fill(stream);
        if (got != Got::Data)
            return endedWith(got);
        c = stream.buffer.at(stream.position++);
    }
    return {};
}

struct Header {
    int width = 0;
    int height = 0;
    bool wide = false; // 16-bit samples
};

PpmRead readHeader(PpmStream &stream, int frameNumber, Header *header)
{
    char magic[2];
    qint64 got = 0;
    const Got read = readExactly(stream, magic, 2, &got);
    if (read == Got::Stopped)
        return {PpmRead::Stopped, {}};
    if (read == Got::End)
        return {got == 0 ? PpmRead::End : PpmRead::Cut, {}};
    if (magic[0] != 'P' || magic[1] != '6')
        return notPpm(frameNumber);

    qint64 numbers[3] = {};
    for (qint64 &number : numbers) {
        const PpmRead read = readNumber(stream, frameNumber, &number);
        if (read.outcome != PpmRead::Frame)
            return read;
    }
    if (numbers[0] > largestSide || numbers[1] > largestSide)
        return {PpmRead::Unreadable, QObject::tr("frame %1 claims %2x%3 pixels, more than %4x%4")
                                         .arg(frameNumber)
                                         .arg(numbers[0])
                                         .arg(numbers[1])
                                         .arg(largestSide)};
    if (numbers[0] == 0 || numbers[1] == 0 || (numbers[2] != 255 && numbers[2] != 65535))
        return {PpmRead::Unreadable,
                QObject::tr("frame %1 is not an 8- or 16-bit PPM picture").arg(frameNumber)};
    const qint64 bytesPerPixel = numbers[2] > 255 ? 8 : 3; // RGBX64 or RGB888
    if (numbers[0] * numbers[1] * bytesPerPixel > largestFrameBytes)
        return {PpmRead::Unreadable,
                QObject::tr("frame %1 claims %2x%3 pixels of 16 bits, more than %4 MiB")
                    .arg(frameNumber)
                    .arg(numbers[0])
                    .arg(numbers[1])
                    .arg(largestFrameBytes >> 20)};
    *header = {int(numbers[0]), int(numbers[1]), numbers[2] > 255};
    return {};
}

// 8-bit samples are RGB888's own layout: they go straight into the picture,
// in one read where its rows are not padded.
Got readNarrowPixels(PpmStream &stream, QImage &image)
{
    const qint64 rowBytes = qint64(image.width()) * 3;
    qint64 got = 0;
    if (image.bytesPerLine() == rowBytes)
        return readExactly(stream, reinterpret_cast<char *>(image.bits()),
                           rowBytes * image.height(), &got);
    for (int y = 0; y < image.height(); ++y) {
        const Got read =
            readExactly(stream, reinterpret_cast<char *>(image.scanLine(y)), rowBytes, &got);
        if (read != Got::Data)
            return read;
    }
    return Got::Data;
}

// 16-bit samples are big-endian and come without alpha: each row passes
// through the stream's row buffer into RGBX64.
Got readWidePixels(PpmStream &stream, QImage &image)
{
    const qint64 rowBytes = qint64(image.width()) * 6;
    stream.row.resize(qsizetype(rowBytes));
    for (int y = 0; y < image.height(); ++y) {
        qint64 got = 0;
        const Got read = readExactly(stream, stream.row.data(), rowBytes, &got);
        if (read != Got::Data)
            return read;
        const auto *from = reinterpret_cast<const uchar *>(stream.row.constData());
        auto *to = reinterpret_cast<quint16 *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x, from += 6, to += 4) {
            to[0] = qFromBigEndian<quint16>(from);
            to[1] = qFromBigEndian<quint16>(from + 2);
            to[2] = qFromBigEndian<quint16>(from + 4);
            to[3] = 0xffff;
        }
    }
    return Got::Data;
}

} // namespace

PpmRead readPpmFrame(PpmStream &stream, int frameNumber, const FrameAllocator &allocate,
                     QImage *image)
{
    Header header;
    const PpmRead read = readHeader(stream, frameNumber, &header);
    if (read.outcome != PpmRead::Frame)
        return read;
    *image = allocate(header.width, header.height,
                      header.wide ? QImage::Format_RGBX64 : QImage::Format_RGB888);
    if (image->isNull())
        return {PpmRead::Unreadable,
                QObject::tr("frame %1 does not fit in memory").arg(frameNumber)};
    const Got got = header.wide ? readWidePixels(stream, *image) : readNarrowPixels(stream, *image);
    if (got != Got::Data) {
        *image = QImage();
        return endedWith(got);
    }
    return {};
}
