// The frame similarity score: exact scores where the answer is known, and
// agreement to the last bit with a plain per-pixel loop over every pixel
// format, row length and row padding that takes its own way through the
// measure.
#include "detect.h"
#include "plainsimilarity.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace
{

// The shortest text that reads back as this very double: two scores have the
// same bits exactly when these texts are equal, and a failure shows both.
QString exactly(double score)
{
    return QString::number(score, 'g', QLocale::FloatingPointShortest);
}

// Pixels laid out in memory as the bytes say, 4 per pixel: red, green, blue,
// alpha.
QImage rgba8888(int width, int height, const QByteArray &bytes)
{
    QImage image(width, height, QImage::Format_RGBA8888);
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), bytes.constData() + 4 * width * y, 4 * width);
    return image;
}

QImage solid(int width, int height, QImage::Format format, QRgb colour)
{
    QImage image(width, height, format);
    image.fill(QColor::fromRgba(colour));
    return image;
}

// An image over a buffer of its own whose every byte, the padding after each
// row included, is random: reading past the last pixel of a row, or a row
// with the other image's stride, changes the score.
QImage randomImage(QRandomGenerator &random, int width, int height, QImage::Format format,
                   int padding)
{
    const int rowBytes = (width * QImage::toPixelFormat(format).bitsPerPixel() + 7) / 8;
    const qsizetype bytesPerLine = rowBytes + padding;
    auto *bytes = new uchar[bytesPerLine * height];
    for (qsizetype i = 0; i < bytesPerLine * height; ++i)
        bytes[i] = uchar(random.bounded(256));
    QImage image(
        bytes, width, height, bytesPerLine, format,
        [](void *data) { delete[] static_cast<uchar *>(data); }, bytes);

    if (format == QImage::Format_Indexed8) {
        QList<QRgb> colours(256);
        random.fillRange(colours.data(), colours.size());
        image.setColorTable(colours);
    }
    if (format == QImage::Format_ARGB32_Premultiplied) { // no colour above its alpha
        for (int y = 0; y < height; ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < width; ++x)
                line[x] = qPremultiply(line[x]);
        }
    }
    return image;
}

struct ScorePair {
    double actual;
    double expected;
};

// Scores one pair of images for each size whose rows run 1 to 70 pixels (every
// edge of 16-pixel blocks up to four blocks and a tail) over 1, 2, 5 and 17
// rows; one line for every size where the two scores differ in any bit.
QStringList mismatchesOverRowLengths(const std::function<ScorePair(int, int)> &scoresFor)
{
    QStringList mismatches;
    for (int height : {1, 2, 5, 17}) {
        for (int width = 1; width <= 70; ++width) {
            const ScorePair scores = scoresFor(width, height);
            if (exactly(scores.actual) != exactly(scores.expected))
                mismatches << QStringLiteral("%1x%2: %3, expected %4")
                                  .arg(width)
                                  .arg(height)
                                  .arg(exactly(scores.actual), exactly(scores.expected));
        }
    }
    return mismatches;
}

} // namespace

class Similarity : public QObject
{
    Q_OBJECT

  private slots:
    void workedExample_data();
    void workedExample();
    void exactScores_data();
    void exactScores();
    void matchesPlainLoop_data();
    void matchesPlainLoop();
    void lastPixelOfEachRowCountsInFull_data();
    void lastPixelOfEachRowCountsInFull();
};

void Similarity::workedExample_data()
{
    QTest::addColumn<QByteArray>("candidate");
    QTest::addColumn<QString>("expected");

    QTest::newRow("A: alpha 0 against 255 does not count, 7 of 1530")
        << QByteArray("\x0d\x10\x1e\x00\x00\x00\x00\xff", 8)
        << QStringLiteral("0.9954248366013072");
    QTest::newRow("B: one pixel black against white, 772 of 1530")
        << QByteArray("\x0d\x10\x1e\x00\xff\xff\xff\xff", 8)
        << QStringLiteral("0.4954248366013072");
}

void Similarity::workedExample()
{
    QFETCH(QByteArray, candidate);
    QFETCH(QString, expected);

    const QImage reference = rgba8888(2, 1, QByteArray("\x0a\x14\x1e\xff\x00\x00\x00\xff", 8));
    QCOMPARE(exactly(frameSimilarity(reference, rgba8888(2, 1, candidate))), expected);
}

void Similarity::exactScores_data()
{
    QTest::addColumn<QImage>("reference");
    QTest::addColumn<QImage>("candidate");
    QTest::addColumn<double>("expected");

    QRandomGenerator random(7);
    const QImage noise = randomImage(random, 40, 10, QImage::Format_RGB32, 0);
    const QImage noise888 = randomImage(random, 40, 10, QImage::Format_RGB888, 0);
    const QRgb opaque = qRgba(10, 20, 30, 255);
    const QRgb clear = qRgba(10, 20, 30, 0);
    const QRgb black = qRgb(0, 0, 0);
    const QRgb white = qRgb(255, 255, 255);
    using F = QImage;

    QTest::newRow("identical RGB32, read in place") << noise << noise.copy() << 1.0;
    QTest::newRow("identical RGB888, read in place") << noise888 << noise888.copy() << 1.0;
    QTest::newRow("same colours, RGB32 against RGB888")
        << noise << noise.convertToFormat(F::Format_RGB888) << 1.0;
    QTest::newRow("alpha only, RGBA8888") << solid(37, 3, F::Format_RGBA8888, opaque)
                                          << solid(37, 3, F::Format_RGBA8888, clear) << 1.0;
    QTest::newRow("alpha only, ARGB32 in place")
        << solid(37, 3, F::Format_ARGB32, opaque) << solid(37, 3, F::Format_ARGB32, clear) << 1.0;
    QTest::newRow("alpha only, RGB32 against ARGB32")
        << solid(37, 3, F::Format_RGB32, opaque) << solid(37, 3, F::Format_ARGB32, clear) << 1.0;
    QTest::newRow("black against white, RGB32")
        << solidImage(37, 3, black) << solidImage(37, 3, white) << 0.0;
    QTest::newRow("black against white, RGBA8888")
        << solid(37, 3, F::Format_RGBA8888, black) << solid(37, 3, F::Format_RGBA8888, white)
        << 0.0;
    QTest::newRow("black RGB888 against white RGB32")
        << solid(37, 3, F::Format_RGB888, black) << solidImage(37, 3, white) << 0.0;
    QTest::newRow("same width, one row fewer") << noise << noise.copy(0, 0, 40, 9) << 0.0;
    QTest::newRow("same height, one column fewer") << noise << noise.copy(0, 0, 39, 10) << 0.0;
    QTest::newRow("same width, taller")
        << solidImage(4, 2, black) << solidImage(4, 3, black) << 0.0;
    QTest::newRow("same height, wider")
        << solidImage(4, 2, black) << solidImage(5, 2, black) << 0.0;
    QTest::newRow("0x0 against 0x0 compares nothing") << QImage() << QImage() << 1.0;
    QTest::newRow("0x0 against 1x1") << QImage() << solidImage(1, 1, black) << 0.0;
    QTest::newRow("1x1 against 0x0") << solidImage(1, 1, black) << QImage() << 0.0;
}

void Similarity::exactScores()
{
    QFETCH(QImage, reference);
    QFETCH(QImage, candidate);
    QFETCH(double, expected);

    QCOMPARE(exactly(frameSimilarity(reference, candidate)), exactly(expected));
}

void Similarity::matchesPlainLoop_data()
{
    QTest::addColumn<QImage::Format>("referenceFormat");
    QTest::addColumn<QImage::Format>("candidateFormat");
    QTest::addColumn<int>("referencePadding"); // bytes after each row
    QTest::addColumn<int>("candidatePadding");

    using F = QImage;
    QTest::newRow("RGB32, junk in the alpha byte") << F::Format_RGB32 << F::Format_RGB32 << 0 << 0;
    QTest::newRow("ARGB32") << F::Format_ARGB32 << F::Format_ARGB32 << 0 << 0;
    QTest::newRow("ARGB32 premultiplied")
        << F::Format_ARGB32_Premultiplied << F::Format_ARGB32_Premultiplied << 0 << 0;
    QTest::newRow("RGBA8888") << F::Format_RGBA8888 << F::Format_RGBA8888 << 0 << 0;
    QTest::newRow("RGB888 in place, rows not 4-byte aligned")
        << F::Format_RGB888 << F::Format_RGB888 << 0 << 0;
    QTest::newRow("RGB888 in place, padded against tight")
        << F::Format_RGB888 << F::Format_RGB888 << 7 << 0;
    QTest::newRow("Grayscale8") << F::Format_Grayscale8 << F::Format_Grayscale8 << 0 << 0;
    QTest::newRow("Indexed8 with a colour table")
        << F::Format_Indexed8 << F::Format_Indexed8 << 0 << 0;
    QTest::newRow("RGBA64") << F::Format_RGBA64 << F::Format_RGBA64 << 0 << 0;
    QTest::newRow("RGB32 against ARGB32") << F::Format_RGB32 << F::Format_ARGB32 << 0 << 0;
    QTest::newRow("RGB32 against RGB888") << F::Format_RGB32 << F::Format_RGB888 << 0 << 0;
    QTest::newRow("RGB888 against RGB32") << F::Format_RGB888 << F::Format_RGB32 << 0 << 0;
    QTest::newRow("RGB32, both rows padded") << F::Format_RGB32 << F::Format_RGB32 << 24 << 24;
    QTest::newRow("RGB32, padded against tight") << F::Format_RGB32 << F::Format_RGB32 << 24 << 0;
    QTest::newRow("ARGB32, tight against padded")
        << F::Format_ARGB32 << F::Format_ARGB32 << 0 << 40;
    QTest::newRow("RGBA8888 padded against RGB32 padded otherwise")
        << F::Format_RGBA8888 << F::Format_RGB32 << 8 << 24;
    QTest::newRow("RGB888 padded against Indexed8 padded")
        << F::Format_RGB888 << F::Format_Indexed8 << 24 << 5;
    QTest::newRow("RGBA64 padded against RGB32") << F::Format_RGBA64 << F::Format_RGB32 << 24 << 0;
}

void Similarity::matchesPlainLoop()
{
    QFETCH(QImage::Format, referenceFormat);
    QFETCH(QImage::Format, candidateFormat);
    QFETCH(int, referencePadding);
    QFETCH(int, candidatePadding);

    QRandomGenerator random(20240611);
    QCOMPARE(mismatchesOverRowLengths([&](int width, int height) {
                 const QImage reference =
                     randomImage(random, width, height, referenceFormat, referencePadding);
                 const QImage candidate =
                     randomImage(random, width, height, candidateFormat, candidatePadding);
                 return ScorePair{frameSimilarity(reference, candidate),
                                  plainSimilarity(reference, candidate)};
             }),
             QStringList());
}

void Similarity::lastPixelOfEachRowCountsInFull_data()
{
    QTest::addColumn<QImage::Format>("format");

    QTest::newRow("RGB32, read in place") << QImage::Format_RGB32;
    QTest::newRow("ARGB32, read in place") << QImage::Format_ARGB32;
    QTest::newRow("RGBA8888") << QImage::Format_RGBA8888;
    QTest::newRow("RGB888, read in place") << QImage::Format_RGB888;
}

void Similarity::lastPixelOfEachRowCountsInFull()
{
    QFETCH(QImage::Format, format);

    QCOMPARE(mismatchesOverRowLengths([&](int width, int height) {
                 const QImage reference = solid(width, height, format, qRgb(0, 0, 0));
                 QImage candidate = reference.copy();
                 for (int y = 0; y < height; ++y)
                     candidate.setPixel(width - 1, y, qRgb(255, 255, 255));
                 // 765 of 765 x width in every row
                 return ScorePair{frameSimilarity(reference, candidate),
                                  1.0 - double(765 * height) / double(765 * width * height)};
             }),
             QStringList());
}

QTEST_GUILESS_MAIN(Similarity)
#include "tst_similarity.moc"
