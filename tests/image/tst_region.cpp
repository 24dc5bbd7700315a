// Where the slide is found in synthetic frames, and how it is cut out: a
// screen on a dark wall, straight or slanted; bars around a screen
// recording, with a camera picture over one of them; a page in a shared
// screen among the tiles of a call; and frames with no slide in them.
#include "image.h"
#include "slidepages.h"

#include <QLineF>
#include <QTest>

using Corners = QList<QPointF>;

namespace
{

const QSize frameSize(640, 360);
const QColor wall(22, 24, 28);

QPolygonF polygon(const Corners &corners)
{
    return QPolygonF(corners);
}

Corners cornersOf(const QRect &rect)
{
    return {QPointF(rect.left(), rect.top()), QPointF(rect.right() + 1, rect.top()),
            QPointF(rect.right() + 1, rect.bottom() + 1), QPointF(rect.left(), rect.bottom() + 1)};
}

// A dim wall, darker towards the corners, as a lens shows it.
QImage dimWall()
{
    QImage frame(frameSize, QImage::Format_RGB32);
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x) {
            const double dx = (x - 320.0) / 320.0;
            const double dy = (y - 180.0) / 180.0;
            const int level = int(30 - 14 * (dx * dx + dy * dy) / 2);
            frame.setPixel(x, y, qRgb(level, level, level + 4));
        }
    return frame;
}

QImage projected(const Corners &corners)
{
    QImage frame = dimWall();
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setTransform(pageToQuad(QSize(400, 300), polygon(corners)));
    painter.drawImage(0, 0, slidePage(QSize(400, 300)));
    painter.end();
    return withNoise(frame, 4, 7);
}

// A 4:3 page in the middle of a 16:9 frame, black bars at its sides.
QImage pillarboxed()
{
    return shownOn(slidePage(QSize(480, 360)), frameSize, Qt::black,
                   polygon(cornersOf(QRect(80, 0, 480, 360))));
}

QImage withCameraOverBar()
{
    QImage frame = pillarboxed();
    QPainter painter(&frame);
    painter.fillRect(QRect(8, 250, 128, 80), QColor(120, 90, 70));
    painter.fillRect(QRect(40, 262, 40, 50), QColor(200, 160, 130));
    return frame;
}

// A 16:9 picture in the middle of a 4:3 frame, bars above and below.
QImage letterboxed()
{
    const QImage page = slidePage(QSize(640, 360));
    return shownOn(page, QSize(640, 480), Qt::black, polygon(cornersOf(QRect(0, 60, 640, 360))));
}

// A call: the shared 16:9 screen at the top with the 4:3 page pillarboxed
// in it, four participants' tiles below, all on a grey background.
QImage sharedInCall()
{
    QImage frame(frameSize, QImage::Format_RGB32);
    frame.fill(QColor(32, 33, 36));
    QPainter painter(&frame);
    painter.fillRect(QRect(80, 0, 480, 270), Qt::black);
    painter.drawImage(QRect(140, 0, 360, 270), slidePage(QSize(360, 270)));
    for (int k = 0; k < 4; ++k) {
        painter.fillRect(QRect(90 + 118 * k, 282, 108, 70), QColor(90 + 20 * k, 80, 70));
        painter.fillRect(QRect(125 + 118 * k, 292, 36, 50), QColor(210, 170, 140));
    }
    return frame;
}

QImage plain(QColor colour)
{
    QImage frame(frameSize, QImage::Format_RGB32);
    frame.fill(colour);
    return withNoise(frame, 3, 11);
}

QImage smallSpot()
{
    QImage frame = plain(wall);
    QPainter(&frame).fillRect(QRect(300, 160, 60, 40), Qt::white);
    return frame;
}

} // namespace

class Region : public QObject
{
    Q_OBJECT

  private slots:
    void slideFound_data();
    void slideFound();
    void slantedScreenStraightened();
    void fixedCropOutsideThePicture();
    void regionFollowedFromSlideToSlide();
};

void Region::slideFound_data()
{
    QTest::addColumn<QImage>("frame");
    QTest::addColumn<Corners>("expected"); // empty: no slide
    QTest::addColumn<bool>("upright");

    const Corners slanted{QPointF(100, 40), QPointF(430, 80), QPointF(430, 290), QPointF(100, 330)};
    QTest::newRow("slanted screen on a dim wall") << projected(slanted) << slanted << false;
    const Corners straight = cornersOf(QRect(150, 40, 320, 240));
    QTest::newRow("straight screen on a dim wall") << projected(straight) << straight << true;
    QTest::newRow("bars at the sides, a dark title band at the top")
        << pillarboxed() << cornersOf(QRect(80, 0, 480, 360)) << true;
    QTest::newRow("a camera picture over a bar")
        << withCameraOverBar() << cornersOf(QRect(80, 0, 480, 360)) << true;
    QTest::newRow("bars above and below")
        << letterboxed() << cornersOf(QRect(0, 60, 640, 360)) << true;
    QTest::newRow("page in a shared screen among tiles")
        << sharedInCall() << cornersOf(QRect(140, 0, 360, 270)) << true;
    QTest::newRow("a page that fills the frame") << slidePage(frameSize) << Corners() << true;
    QTest::newRow("a dark frame with nothing on it") << plain(wall) << Corners() << true;
    QTest::newRow("a small bright spot") << smallSpot() << Corners() << true;
}

void Region::slideFound()
{
    QFETCH(QImage, frame);
    QFETCH(Corners, expected);
    QFETCH(bool, upright);

    const std::optional<SlideRegion> region = findSlideRegion(frame);
    if (expected.isEmpty()) {
        QVERIFY(!region);
        return;
    }
    QVERIFY(region);
    QCOMPARE(region->rect.isNull(), !upright);
    for (int k = 0; k < 4; ++k) {
        const double off = QLineF(region->corners[std::size_t(k)], expected.at(k)).length();
        if (off > 2.0)
            QFAIL(qPrintable(QStringLiteral("corner %1 at (%2, %3), expected (%4, %5)")
                                 .arg(k)
                                 .arg(region->corners[std::size_t(k)].x())
                                 .arg(region->corners[std::size_t(k)].y())
                                 .arg(expected.at(k).x())
                                 .arg(expected.at(k).y())));
    }
    // An upright slide is cut out pixel for pixel.
    if (upright && expected == cornersOf(region->rect))
        QCOMPARE(straightened(frame, *region), frame.copy(region->rect));
}

void Region::slantedScreenStraightened()
{
    const Corners slanted{QPointF(100, 40), QPointF(430, 80), QPointF(430, 290), QPointF(100, 330)};
    const std::optional<SlideRegion> region = findSlideRegion(projected(slanted));
    QVERIFY(region);
    const QImage picture = straightened(projected(slanted), *region);
    QCOMPARE(picture.size(), region->size);
    // Upright again, the page lies where it was drawn: its marks in their
    // corners, its lines of text where they were.
    const QImage page = slidePage(QSize(400, 300));
    QVERIFY2(meanDifference(picture, page) < 10.0,
             qPrintable(QString::number(meanDifference(picture, page))));
    const QImage scaled = picture.scaled(page.size());
    QVERIFY(qRed(scaled.pixel(22, 69)) > 150 && qGreen(scaled.pixel(22, 69)) < 100);
    QVERIFY(qGreen(scaled.pixel(377, 284)) > 120 && qRed(scaled.pixel(377, 284)) < 100);
}

void Region::fixedCropOutsideThePicture()
{
    const QImage frame = pillarboxed();
    for (const QRect &rect :
         {QRect(0, 0, 640, 360), QRect(600, 300, 41, 10), QRect(10, 350, 20, 11)}) {
        CropReport report;
        const FrameSource source = croppedFrames(
            [&](int i) { return i == 0 ? std::optional<QImage>(frame) : std::nullopt; },
            CropRequest{false, rect}, &report);
        const std::optional<QImage> first = source(0);
        QVERIFY(first);
        const bool inside = frame.rect().contains(rect);
        QCOMPARE(first->isNull(), !inside);
        QCOMPARE(report.outsidePicture, !inside);
        if (inside)
            QCOMPARE(*first, frame.copy(rect));
    }
}

void Region::regionFollowedFromSlideToSlide()
{
    // Slides one after the other, each as the frames held of it: the
    // region is taken from most of them, and kept where it is lost, found
    // again a little off, or seen elsewhere in one frame only.
    CropReport report;
    const std::shared_ptr<SlideCutter> cutter = slideCutter(&report);
    const QImage bars = pillarboxed();
    QImage shifted = dimWall();
    QPainter(&shifted).drawImage(QPoint(83, 0), bars.copy(80, 0, 480, 360));
    const QList<QImage> none{plain(wall), plain(wall), plain(wall)};
    QCOMPARE(cutToSlide(*cutter, none), none);
    QVERIFY(report.wholeFrameUsed);
    report.wholeFrameUsed = false;

    const QImage cut = bars.copy(80, 0, 480, 360);
    const QList<std::pair<const char *, QList<QImage>>> slides{
        {"found", {bars, bars, bars, bars}},
        {"lost", {plain(wall), plain(wall), plain(wall)}},
        {"found again 3 px off", {shifted, shifted, shifted}},
        {"elsewhere in one frame of four", {letterboxed(), bars, bars, bars}},
    };
    for (const auto &[what, frames] : slides) {
        const QList<QImage> pictures = cutToSlide(*cutter, frames);
        QCOMPARE(pictures.size(), frames.size());
        for (qsizetype k = 0; k < frames.size(); ++k)
            QVERIFY2(pictures.at(k) == frames.at(k).copy(80, 0, 480, 360), what);
    }
    QVERIFY(!report.wholeFrameUsed);
    QCOMPARE(cutToSlide(*cutter, {bars}).first(), cut);
    // Most frames agree on another region: the camera moved.
    QImage dark(640, 480, QImage::Format_RGB32);
    dark.fill(wall);
    const QList<QImage> moved = cutToSlide(*cutter, {letterboxed(), letterboxed(), dark});
    QCOMPARE(moved.first(), letterboxed().copy(0, 60, 640, 360));
}

QTEST_GUILESS_MAIN(Region)
#include "tst_region.moc"
