// pngOf: every filter and level decodes to the very pixels encoded, over row
// lengths around the 3-byte pixel and the first row's missing neighbour.
#include "output.h"

#include <QRandomGenerator>
#include <QTest>

class Png : public QObject
{
    Q_OBJECT

  private slots:
    void decodesToTheSamePixels_data();
    void decodesToTheSamePixels();
};

void Png::decodesToTheSamePixels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<PngFilter>("filter");

    QTest::newRow("Sub, level 1") << 1 << PngFilter::Sub;
    QTest::newRow("Up, level 3 (the slides')") << 3 << PngFilter::Up;
    QTest::newRow("Paeth, level 9") << 9 << PngFilter::Paeth;
    QTest::newRow("Up, stored") << 0 << PngFilter::Up;
}

void Png::decodesToTheSamePixels()
{
    QFETCH(int, level);
    QFETCH(PngFilter, filter);

    QRandomGenerator random(18);
    for (const QSize size :
         {QSize(1, 1), QSize(1, 5), QSize(5, 1), QSize(7, 3), QSize(64, 9), QSize(333, 17)}) {
        // Noise, then flat runs and steps: every predictor meets large and
        // small differences, and its wrap-around below 0.
        QImage picture(size, QImage::Format_RGB888);
        for (int y = 0; y < size.height(); ++y) {
            uchar *row = picture.scanLine(y);
            for (int i = 0; i < 3 * size.width(); ++i)
                row[i] = uchar(y % 2 ? random.bounded(256) : (i / 7 % 2) * 250 + y);
        }
        const QImage decoded = QImage::fromData(pngOf(picture, level, filter), "png");
        QCOMPARE(decoded.size(), size);
        QCOMPARE(decoded.convertToFormat(QImage::Format_RGB888), picture);
    }
}

QTEST_GUILESS_MAIN(Png)
#include "tst_png.moc"
