// Times the PNG encodings a slide could be written with, on real slides:
// decodes the PNG files named on the command line, encodes each picture in
// every variant, and prints the CPU milliseconds per slide, the total size,
// whether the pixels decode back unchanged and whether the file is byte for
// byte the one written today (Qt's PNG writer at its default settings from an
// RGB32 picture). Build in Release.
//
// Usage: bench_png slides/slide_*.png
#include "output.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

#include <cstdio>
#include <ctime>

namespace
{

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

QByteArray encoded(const QImage &picture, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setQuality(quality);
    writer.write(picture);
    return bytes;
}

struct Variant {
    const char *name;
    QImage::Format format;
    int quality;    // QImageWriter's: -1 the default, else 0 (smallest) to 100 (fastest)
    int level = -1; // pngOf's zlib level; -1: QImageWriter
    PngFilter filter = PngFilter::Up;
};

QByteArray encoded(const QImage &picture, const Variant &variant)
{
    return variant.level < 0 ? encoded(picture, variant.quality)
                             : pngOf(picture, variant.level, variant.filter);
}

} // namespace

int main(int argc, char *argv[])
{
    QList<QImage> slides;
    for (int i = 1; i < argc; ++i)
        slides << QImageReader(QString::fromLocal8Bit(argv[i]))
                      .read()
                      .convertToFormat(QImage::Format_RGB32);
    if (slides.isEmpty()) {
        std::fprintf(stderr, "usage: bench_png SLIDE.png...\n");
        return 2;
    }
    QList<QByteArray> today;
    for (const QImage &slide : slides)
        today << encoded(slide, -1);

    const Variant variants[] = {
        {"RGB32, default (today)", QImage::Format_RGB32, -1},
        {"RGB888, default", QImage::Format_RGB888, -1},
        {"RGB888, quality 50", QImage::Format_RGB888, 50},
        {"RGB888, quality 80", QImage::Format_RGB888, 80},
        {"RGB888, quality 90", QImage::Format_RGB888, 90},
        {"pngOf, level 1, Sub", QImage::Format_RGB888, 0, 1, PngFilter::Sub},
        {"pngOf, level 1, Up", QImage::Format_RGB888, 0, 1, PngFilter::Up},
        {"pngOf, level 1, Paeth", QImage::Format_RGB888, 0, 1, PngFilter::Paeth},
        {"pngOf, level 2, Up", QImage::Format_RGB888, 0, 2, PngFilter::Up},
        {"pngOf, level 3, Up", QImage::Format_RGB888, 0, 3, PngFilter::Up},
        {"pngOf, level 6, Up", QImage::Format_RGB888, 0, 6, PngFilter::Up},
        {"pngOf, level 6, Paeth", QImage::Format_RGB888, 0, 6, PngFilter::Paeth},
    };
    std::printf("%d slides, %dx%d\n", int(slides.size()), slides.first().width(),
                slides.first().height());
    std::printf("%-24s %10s %12s %7s %10s\n", "encoding", "ms/slide", "bytes", "pixels",
                "as today");
    for (const Variant &variant : variants) {
        QList<QImage> pictures;
        for (const QImage &slide : slides)
            pictures << slide.convertToFormat(variant.format);
        QList<QByteArray> files;
        const double start = threadCpuMs();
        for (const QImage &picture : pictures)
            files << encoded(picture, variant);
        const double ms = (threadCpuMs() - start) / double(slides.size());
        qint64 bytes = 0;
        bool samePixels = true;
        bool sameBytes = true;
        for (qsizetype i = 0; i < slides.size(); ++i) {
            bytes += files.at(i).size();
            samePixels =
                samePixels &&
                QImage::fromData(files.at(i)).convertToFormat(QImage::Format_RGB32) == slides.at(i);
            sameBytes = sameBytes && files.at(i) == today.at(i);
        }
        std::printf("%-24s %10.1f %12lld %7s %10s\n", variant.name, ms, (long long)bytes,
                    samePixels ? "same" : "DIFFER", sameBytes ? "yes" : "no");
    }
    return 0;
}
