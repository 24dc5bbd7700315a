// The clean picture of a slide: the median of frames spread over it, which
// leaves out what passes in front and never takes a frame of the next
// slide; and uneven light flattened so that the paper comes out white.
#include "image.h"
#include "slidepages.h"
#include "testsupport.h"

#include <QTest>

#include <algorithm>
#include <cmath>

namespace
{

const QSize pageSize(320, 240);

// Slide a's page with a dark head passing in front of it in some frames.
QImage passing(const QImage &page, int frame)
{
    QImage picture = page;
    if (frame % 3 == 1) {
        QPainter painter(&picture);
        painter.setBrush(QColor(40, 30, 30));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QRect(20 + 25 * frame, 60, 70, 90));
    }
    return withNoise(picture, 3, quint32(frame));
}

// A page lit brightly in the middle and dimly at the corners.
QImage vignetted(const QImage &page)
{
    QImage picture = page;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const double dx = (x - picture.width() / 2.0) / picture.width();
            const double dy = (y - picture.height() / 2.0) / picture.height();
            const double light = 0.92 - 0.6 * (dx * dx + dy * dy);
            const QRgb p = picture.pixel(x, y);
            picture.setPixel(
                x, y, qRgb(int(qRed(p) * light), int(qGreen(p) * light), int(qBlue(p) * light)));
        }
    return picture;
}

// Segment{start, end, kept}.
Segment slide(int start, int end, int kept)
{
    Segment segment;
    segment.startFrame = start;
    segment.endFrame = end;
    segment.keptFrame = kept;
    return segment;
}

} // namespace

class Clean : public QObject
{
    Q_OBJECT

  private slots:
    void passerByLeftOut();
    void medianTakesEveryPictureOfItsSize();
    void medianOfNoisyPictures();
    void flattenedLight_data();
    void flattenedLight();
};

void Clean::medianTakesEveryPictureOfItsSize()
{
    // 50 white, then a picture of another size, then 51 black: the median
    // of all of them is black, and the odd one plays no part.
    QList<QImage> pictures(50, solidImage(40, 30, qRgb(255, 255, 255)));
    pictures.append(solidImage(8, 6, qRgb(255, 0, 0)));
    pictures.append(QList<QImage>(51, solidImage(40, 30, qRgb(0, 0, 0))));
    const QImage median = medianPicture(pictures);
    QCOMPARE(median.size(), QSize(40, 30));
    QCOMPARE(median.pixel(39, 29), qRgb(0, 0, 0));
    QVERIFY(medianPicture({}).isNull());
}

void Clean::medianOfNoisyPictures()
{
    // Every byte, however many pictures: the middle of its values (the
    // upper one of an even count), or the first picture's own where all lie
    // within compression's noise of each other. Small counts are sorted
    // along whole rows, large ones a byte at a time.
    for (const int count : {2, 3, 8, 17}) {
        QList<QImage> pictures;
        for (int k = 0; k < count; ++k)
            pictures.append(withNoise(slidePage(QSize(37, 5)), 3 + 9 * (k % 3), quint32(k)));
        const QImage median = medianPicture(pictures);
        for (int y = 0; y < median.height(); ++y)
            for (int x = 0; x < median.width(); ++x)
                for (const int shift : {0, 8, 16}) {
                    std::vector<int> values;
                    for (const QImage &picture : pictures)
                        values.push_back(int(picture.pixel(x, y) >> shift) & 0xff);
                    const int own = values.front();
                    std::sort(values.begin(), values.end());
                    const int expected =
                        values.back() - values.front() <= 6 ? own : values[values.size() / 2];
                    QCOMPARE(int(median.pixel(x, y) >> shift) & 0xff, expected);
                }
        QCOMPARE(qAlpha(median.pixel(36, 4)), 255);
    }
}

void Clean::passerByLeftOut()
{
    // Slide a for frames 0..11, slide b from 12 on; the walk reads a few
    // frames of b before it closes a, as it waits for b to hold.
    const QImage a = slidePage(pageSize);
    const QImage b = slidePage(pageSize, 2, 0);
    QList<QImage> frames;
    for (int i = 0; i < 12; ++i)
        frames.append(passing(a, i));
    for (int i = 12; i < 40; ++i)
        frames.append(withNoise(b, 3, quint32(i)));

    const std::shared_ptr<SettledFrames> settled = settledFrames(5);
    const FrameSource source = keepingSettledFrames(
        [&](int i) {
            return i < frames.size() ? std::optional<QImage>(frames.at(i)) : std::nullopt;
        },
        settled);
    QList<QImage> pictures;
    const RecordSink stage = cleaningSlides(
        [&](SlideRecord &, const QImage &picture) {
            pictures.append(picture);
            return true;
        },
        settled);
    const auto sink = [&](const Segment &segment, const QImage &picture) {
        SlideRecord record{segment};
        return stage(record, picture);
    };
    for (int i = 0; i < 15; ++i)
        QVERIFY(source(i));
    // The kept frame has the head in it.
    QVERIFY(sink(slide(0, 11, 1), frames.at(1)));
    for (int i = 15; i < 40; ++i)
        QVERIFY(source(i));
    QVERIFY(sink(slide(12, 39, 14), frames.at(14)));

    QCOMPARE(pictures.size(), 2);
    QVERIFY2(largestDifference(pictures.at(0), a) <= 12,
             qPrintable(QString::number(largestDifference(pictures.at(0), a))));
    // Nothing of a in b's picture, though a's frames were held when b began.
    QVERIFY2(largestDifference(pictures.at(1), b) <= 12,
             qPrintable(QString::number(largestDifference(pictures.at(1), b))));
}

void Clean::flattenedLight_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<bool>("changed");

    QTest::newRow("page lit unevenly") << vignetted(slidePage(pageSize)) << true;
    QTest::newRow("page lit evenly") << slidePage(pageSize) << false;
    QImage negative = slidePage(pageSize);
    negative.invertPixels();
    QTest::newRow("page in negative, little paper") << vignetted(negative) << false;
}

void Clean::flattenedLight()
{
    QFETCH(QImage, picture);
    QFETCH(bool, changed);

    const QImage flat = ::flattenedLight(picture);
    if (!changed) {
        QCOMPARE(flat, picture);
        return;
    }
    // The paper is white from the middle to the corners, the text dark.
    const QImage page = slidePage(pageSize);
    for (const QPoint &paper :
         {QPoint(160, 200), QPoint(5, 236), QPoint(315, 236), QPoint(300, 60), QPoint(10, 100)}) {
        QVERIFY(page.pixel(paper) == qRgb(255, 255, 255));
        QVERIFY2(qGray(flat.pixel(paper)) >= 235, qPrintable(QStringLiteral("%1 at %2,%3")
                                                                 .arg(qGray(flat.pixel(paper)))
                                                                 .arg(paper.x())
                                                                 .arg(paper.y())));
    }
    QVERIFY(qGray(flat.pixel(60, 83)) < 60);
}

QTEST_GUILESS_MAIN(Clean)
#include "tst_clean.moc"
