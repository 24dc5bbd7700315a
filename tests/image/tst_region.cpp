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

// A page projected in a dim hall, seen from the side: the projector lights
// a border of its own black around the page, lighter than the room, and
// the page's levels lie between that black and a dimmed white. With
// lecturer, someone dark stands in front of the page's lower right.
QImage hall(const Corners &corners, bool lecturer)
{
    QImage page = slidePage(QSize(400, 300));
    for (int y = 0; y < page.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(page.scanLine(y));
        for (int x = 0; x < page.width(); ++x) {
            const auto lit = [](int v) { return 46 + v * 7 / 10; };
            line[x] = qRgb(lit(qRed(line[x])), lit(qGreen(line[x])), lit(qBlue(line[x])));
        }
    }
    QImage frame = dimWall();
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setTransform(pageToQuad(page.size(), polygon(corners)));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(46, 46, 48));
    painter.drawRect(QRectF(-12, -12, 424, 324));
    painter.drawImage(0, 0, page);
    if (lecturer) {
        painter.resetTransform();
        painter.setBrush(QColor(30, 26, 24));
        painter.drawEllipse(QRect(330, 150, 40, 50));
        painter.drawRoundedRect(QRect(315, 195, 70, 165), 20, 20);
    }
    painter.end();
    return withNoise(frame, 4, 9);
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

// A call's layout: the shared screen at share, the page in it at page (a
// 4:3 page in a 16:9 share has black bars beside it), participants' tiles,
// and a caption box with a line of text across the bottom of the share.
struct CallLayout {
    QRect share;
    QRect page;
    QList<QRect> tiles;
    bool caption = false;
};

QImage call(const CallLayout &layout)
{
    QImage frame(frameSize, QImage::Format_RGB32);
    frame.fill(QColor(32, 33, 36));
    QPainter painter(&frame);
    painter.fillRect(layout.share, Qt::black);
    painter.drawImage(layout.page, slidePage(layout.page.size()));
    for (int k = 0; k < layout.tiles.size(); ++k) {
        const QRect tile = layout.tiles.at(k);
        painter.fillRect(tile, QColor(70 + 25 * k, 64, 58));
        painter.setBrush(QColor(210, 170, 140));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QRect(tile.center().x() - tile.width() / 8,
                                  tile.top() + tile.height() / 5, tile.width() / 4,
                                  tile.height() * 3 / 5));
    }
    if (layout.caption) {
        const QRect box(layout.share.left() + layout.share.width() / 8,
                        layout.share.bottom() - layout.share.height() / 8,
                        layout.share.width() * 3 / 4, layout.share.height() / 12);
        painter.fillRect(box, QColor(0, 0, 0, 170));
        painter.fillRect(
            box.adjusted(box.width() / 10, box.height() / 3, -box.width() / 5, -box.height() / 3),
            QColor(235, 235, 235));
    }
    painter.end();
    return withNoise(frame, 2, 5);
}

// Tiles one above the other in a column from x.
QList<QRect> tileColumn(int x, int width, int count)
{
    QList<QRect> tiles;
    for (int k = 0; k < count; ++k)
        tiles.append(QRect(x, 10 + k * (width * 9 / 16 + 8), width, width * 9 / 16));
    return tiles;
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
    QTest::addColumn<double>("within"); // pixels a corner may be off

    const Corners slanted{QPointF(100, 40), QPointF(430, 80), QPointF(430, 290), QPointF(100, 330)};
    QTest::newRow("slanted screen on a dim wall") << projected(slanted) << slanted << false << 2.0;
    const Corners keystone{QPointF(60, 30), QPointF(420, 72), QPointF(420, 262), QPointF(60, 318)};
    // Under 1% of the frame's width: the border above the page is taken
    // to be as wide as below it, which perspective makes a little untrue.
    QTest::newRow("hall: the page inside the projector's border")
        << hall(keystone, false) << keystone << false << 5.0;
    QTest::newRow("hall: a lecturer in front of the page")
        << hall(keystone, true) << keystone << false << 5.0;
    const Corners straight = cornersOf(QRect(150, 40, 320, 240));
    QTest::newRow("straight screen on a dim wall")
        << projected(straight) << straight << true << 2.0;
    QTest::newRow("bars at the sides, a dark title band at the top")
        << pillarboxed() << cornersOf(QRect(80, 0, 480, 360)) << true << 2.0;
    QTest::newRow("a camera picture over a bar")
        << withCameraOverBar() << cornersOf(QRect(80, 0, 480, 360)) << true << 2.0;
    QTest::newRow("bars above and below")
        << letterboxed() << cornersOf(QRect(0, 60, 640, 360)) << true << 2.0;
    QTest::newRow("page in a shared screen among tiles")
        << sharedInCall() << cornersOf(QRect(140, 0, 360, 270)) << true << 2.0;
    const QRect leftShare(8, 50, 464, 261);
    QTest::newRow("call: share left, tiles in a strip on the right")
        << call({leftShare, leftShare, tileColumn(488, 144, 4)}) << cornersOf(leftShare) << true
        << 2.0;
    const QRect rightShare(168, 50, 464, 261);
    QTest::newRow("call: share right, tiles in a strip on the left")
        << call({rightShare, rightShare, tileColumn(8, 144, 4)}) << cornersOf(rightShare) << true
        << 2.0;
    QList<QRect> grid;
    for (int k = 0; k < 6; ++k)
        grid.append(QRect(488 + (k % 2) * 74, 60 + (k / 2) * 80, 68, 72));
    QTest::newRow("call: share left, tiles in a grid on the right")
        << call({leftShare, leftShare, grid}) << cornersOf(leftShare) << true << 2.0;
    QList<QRect> row;
    for (int k = 0; k < 5; ++k)
        row.append(QRect(40 + k * 116, 6, 108, 60));
    const QRect belowRow(96, 76, 448, 252);
    QTest::newRow("call: share centred below a row of tiles")
        << call({belowRow, belowRow, row}) << cornersOf(belowRow) << true << 2.0;
    QList<QRect> strip;
    for (int k = 0; k < 4; ++k)
        strip.append(QRect(92 + k * 116, 296, 108, 60));
    const QRect topShare(128, 0, 384, 288);
    QTest::newRow("call: share centred at the top, tiles in a strip below")
        << call({topShare, topShare, strip}) << cornersOf(topShare) << true << 2.0;
    const QRect pillarPage(66, 50, 348, 261);
    QTest::newRow("call: a 4:3 page pillarboxed in the share, tiles beside it")
        << call({leftShare, pillarPage, tileColumn(488, 144, 4)}) << cornersOf(pillarPage) << true
        << 2.0;
    QTest::newRow("call: a caption box over the bottom of the share")
        << call({leftShare, leftShare, tileColumn(488, 144, 4), true}) << cornersOf(leftShare)
        << true << 2.0;
    QTest::newRow("call: pillarboxed page, caption box, tiles on the left")
        << call({rightShare, QRect(226, 50, 348, 261), tileColumn(8, 144, 4), true})
        << cornersOf(QRect(226, 50, 348, 261)) << true << 2.0;
    QTest::newRow("a page that fills the frame")
        << slidePage(frameSize) << Corners() << true << 2.0;
    QTest::newRow("a dark frame with nothing on it") << plain(wall) << Corners() << true << 2.0;
    QTest::newRow("a small bright spot") << smallSpot() << Corners() << true << 2.0;
}

void Region::slideFound()
{
    QFETCH(QImage, frame);
    QFETCH(Corners, expected);
    QFETCH(bool, upright);
    QFETCH(double, within);

    const std::optional<SlideRegion> region = findSlideRegion(frame);
    if (expected.isEmpty()) {
        QVERIFY(!region);
        return;
    }
    QVERIFY(region);
    QCOMPARE(region->rect.isNull(), !upright);
    for (int k = 0; k < 4; ++k) {
        const double off = QLineF(region->corners[std::size_t(k)], expected.at(k)).length();
        if (off > within)
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
