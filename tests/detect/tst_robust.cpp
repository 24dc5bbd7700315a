// The robust walk on small talks drawn in memory: white slides with dark
// lines of "text", sensor noise, a flickering light, a region that moves
// all the time, a clip inside a slide and a full-screen animation; and what
// rooms and calls add: someone walking in front, a shaking camera, an
// exposure that swings, subtitles, and changes of colour alone.
#include "detect.h"
#include "walkrun.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <limits>

namespace
{

const int width = 320;
const int height = 180;

// How a frame is filmed: per-pixel noise of up to +-noise levels, a light
// that shifts every pixel by up to +-flicker levels (clipped, like a
// camera's), and a speaker's corner that never keeps still.
struct Look {
    int noise = 0;
    int flicker = 0;
    bool movingCorner = false;
};

} // namespace

Q_DECLARE_METATYPE(Look)

namespace
{

const QRect corner(4, 120, 48, 56);
const QRect clipArea(120, 50, 120, 80);

QList<QRect> lines(int count)
{
    QList<QRect> result;
    for (int i = 0; i < count; ++i)
        result.append(QRect(30, 20 + 16 * i, 200 - 20 * (i % 3), 6));
    return result;
}

// A short line under the others: a one-line build.
QList<QRect> withBuild(QList<QRect> slide)
{
    slide.append(QRect(30, 20 + 16 * int(slide.size()), 60, 5));
    return slide;
}

// Squares of random grey, new in every frame.
void paintMotion(QImage &image, const QRect &area, int frame)
{
    QRandomGenerator random(quint32(1000 + frame));
    QPainter painter(&image);
    for (int y = area.top(); y < area.bottom(); y += 8)
        for (int x = area.left(); x < area.right(); x += 8) {
            const int grey = random.bounded(256);
            painter.fillRect(QRect(x, y, 8, 8) & area, QColor(grey, grey, grey));
        }
}

void film(QImage &image, int frame, const Look &look)
{
    if (look.movingCorner)
        paintMotion(image, corner, frame);
    QRandomGenerator random(quint32(frame + 1));
    const int light = int(std::lround(look.flicker * std::sin(1.3 * frame)));
    for (int y = 0; y < image.height(); ++y) {
        auto *pixels = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int shift =
                light + (look.noise ? random.bounded(-look.noise, look.noise + 1) : 0);
            const auto level = [shift](int value) { return std::clamp(value + shift, 0, 255); };
            pixels[x] =
                qRgb(level(qRed(pixels[x])), level(qGreen(pixels[x])), level(qBlue(pixels[x])));
        }
    }
}

QImage slide(const QList<QRect> &textLines)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(qRgb(250, 250, 250));
    QPainter painter(&image);
    for (const QRect &line : textLines)
        painter.fillRect(line, QColor(30, 30, 90));
    return image;
}

QImage filmed(const QList<QRect> &textLines, int frame, const Look &look)
{
    QImage image = slide(textLines);
    film(image, frame, look);
    return image;
}

// Appends count frames of one slide to *frames.
void show(QList<QImage> *frames, const QList<QRect> &textLines, int count, const Look &look = {})
{
    for (int i = 0; i < count; ++i)
        frames->append(filmed(textLines, int(frames->size()), look));
}

Run runRobust(const QList<QImage> &frames, int fps = 1, int nullAt = -1, int refuseAfter = -1)
{
    DetectOptions options;
    options.detector = Detector::Robust;
    options.fps = fps;
    return runWalk(frames, options, nullAt, refuseAfter);
}

// "0-14 15-29" for two slides, "0-9 v10-24 25-39" with a video between.
QString layout(const QList<Segment> &segments)
{
    QStringList parts;
    for (const Segment &segment : segments)
        parts.append(QStringLiteral("%1%2-%3")
                         .arg(segment.isVideo ? QStringLiteral("v") : QString())
                         .arg(segment.startFrame)
                         .arg(segment.endFrame));
    return parts.join(QLatin1Char(' '));
}

// What every timeline must be, whatever the frames: segments that cover
// the frames in order without gaps, none empty; every slide owns one kept
// frame inside it, handed to the sink in order with that frame's picture;
// videos are numbered from 1 without gaps.
void checkContract(const Run &run, const QList<QImage> &frames)
{
    QVERIFY(run.ok);
    const QList<Segment> &segments = run.timeline.segments;
    QVERIFY(!segments.isEmpty());
    int next = 0;
    int videos = 0;
    QSet<int> kept;
    QList<Segment> slides;
    for (const Segment &segment : segments) {
        QCOMPARE(segment.startFrame, next);
        QVERIFY(segment.endFrame >= segment.startFrame);
        next = segment.endFrame + 1;
        if (segment.isVideo) {
            QCOMPARE(segment.keptFrame, -1);
            QCOMPARE(segment.videoLabel,
                     QStringLiteral("video%1").arg(++videos, 4, 10, QLatin1Char('0')));
        } else {
            QVERIFY(segment.keptFrame >= segment.startFrame);
            QVERIFY(segment.keptFrame <= segment.endFrame);
            QVERIFY(segment.videoLabel.isNull());
            kept.insert(segment.keptFrame);
            slides.append(segment);
        }
    }
    QCOMPARE(next, int(frames.size()));
    QCOMPARE(run.timeline.keepSet, kept);
    QCOMPARE(run.handedOver.size(), slides.size());
    for (qsizetype i = 0; i < slides.size(); ++i) {
        QCOMPARE(run.handedOver.at(i).startFrame, slides.at(i).startFrame);
        QCOMPARE(run.handedOver.at(i).keptFrame, slides.at(i).keptFrame);
        QCOMPARE(run.pictures.at(i), frames.at(slides.at(i).keptFrame));
    }
}

} // namespace

class RobustWalk : public QObject
{
    Q_OBJECT

  private slots:
    void stillPictureIsOneSlide_data();
    void stillPictureIsOneSlide();
    void buildIsOneChange_data();
    void buildIsOneChange();
    void movingCorner_data();
    void movingCorner();
    void motionBecomesVideo_data();
    void motionBecomesVideo();
    void keptFrameIsSettled();
    void passerBy_data();
    void passerBy();
    void shakingCamera_data();
    void shakingCamera();
    void pictureHandedAgain();
    void exposureSwing_data();
    void exposureSwing();
    void subtitles_data();
    void subtitles();
    void aroundTheSlides();
    void buildTakenBack_data();
    void buildTakenBack();
    void nextChangeBesideABuild_data();
    void nextChangeBesideABuild();
    void callFromTheStart();
    void pointerMovesAndRests();
    void flickerOnAPlainSlide();
    void colourAlone_data();
    void colourAlone();
    void packedPixelsAsRgb32();
    void contractOnRandomTalks();
    void rateBeyondAnyTalk();
    void failuresStopTheWalk();
};

void RobustWalk::stillPictureIsOneSlide_data()
{
    QTest::addColumn<Look>("look");
    QTest::newRow("clean") << Look{};
    QTest::newRow("sensor noise") << Look{24, 0, false};
    QTest::newRow("flickering light") << Look{0, 6, false};
    QTest::newRow("noise and flicker") << Look{24, 6, false};
}

void RobustWalk::stillPictureIsOneSlide()
{
    QFETCH(Look, look);
    QList<QImage> frames;
    show(&frames, lines(4), 40, look);
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-39"));
}

void RobustWalk::buildIsOneChange_data()
{
    QTest::addColumn<Look>("look");
    QTest::addColumn<int>("fps");
    QTest::newRow("clean") << Look{} << 1;
    QTest::newRow("sensor noise") << Look{24, 0, false} << 1;
    QTest::newRow("noise and flicker") << Look{24, 6, false} << 1;
    QTest::newRow("noise and flicker, 3 fps") << Look{24, 6, false} << 3;
}

void RobustWalk::buildIsOneChange()
{
    QFETCH(Look, look);
    QFETCH(int, fps);
    QList<QImage> frames;
    show(&frames, lines(4), 15 * fps, look);
    show(&frames, withBuild(lines(4)), 15 * fps, look);
    const Run run = runRobust(frames, fps);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments),
             QStringLiteral("0-%1 %2-%3").arg(15 * fps - 1).arg(15 * fps).arg(30 * fps - 1));
}

void RobustWalk::movingCorner_data()
{
    QTest::addColumn<bool>("slideChanges");
    QTest::addColumn<QString>("expected");
    QTest::newRow("still slide") << false << QStringLiteral("0-39");
    QTest::newRow("a build elsewhere") << true << QStringLiteral("0-19 20-39");
}

// The corner moves from the first frame to the last.
void RobustWalk::movingCorner()
{
    QFETCH(bool, slideChanges);
    QFETCH(QString, expected);
    const Look look{8, 0, true};
    QList<QImage> frames;
    show(&frames, lines(5), 20, look);
    show(&frames, slideChanges ? withBuild(lines(5)) : lines(5), 20, look);
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), expected);
}

void RobustWalk::motionBecomesVideo_data()
{
    QTest::addColumn<QRect>("moving");
    QTest::addColumn<int>("nextLines");
    QTest::addColumn<QString>("expected");
    // The clip plays inside the slide, which is there before and after it.
    QTest::newRow("clip inside a slide") << clipArea << 3 << QStringLiteral("0-9 v10-24 25-39");
    QTest::newRow("full-screen animation, then a new slide")
        << QRect(0, 0, width, height) << 6 << QStringLiteral("0-9 v10-24 25-39");
}

void RobustWalk::motionBecomesVideo()
{
    QFETCH(QRect, moving);
    QFETCH(int, nextLines);
    QFETCH(QString, expected);
    const Look look{16, 4, false};
    QList<QImage> frames;
    show(&frames, lines(3), 10, look);
    for (int i = 10; i < 25; ++i) {
        QImage image = slide(lines(3));
        paintMotion(image, moving, i);
        film(image, i, look);
        frames.append(image);
    }
    show(&frames, lines(nextLines), 15, look);
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), expected);
}

// Frame 10 is caught half-way through a dissolve into the next slide: the
// next slide starts there, but keeps a frame that shows it whole.
void RobustWalk::keptFrameIsSettled()
{
    const Look look{16, 0, false};
    QList<QImage> frames;
    show(&frames, lines(2), 10, look);
    QImage halfWay = slide(lines(2));
    QPainter(&halfWay).drawImage(0, 0, [] {
        QImage next = slide(lines(6)).convertToFormat(QImage::Format_ARGB32);
        QPainter painter(&next);
        painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        painter.fillRect(next.rect(), QColor(0, 0, 0, 128));
        return next;
    }());
    film(halfWay, 10, look);
    frames.append(halfWay);
    show(&frames, lines(6), 15, look);

    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-9 10-25"));
    QVERIFY2(run.timeline.segments.at(1).keptFrame > 10, "kept the frame caught mid-dissolve");
}

namespace
{

// A dark figure, head and body, with its left edge at x.
void paintFigure(QImage &image, int x)
{
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(45, 40, 38));
    painter.drawEllipse(QRect(x + 12, 30, 26, 30));
    painter.drawRect(QRect(x, 58, 50, 122));
}

// Where the figure stands in each frame of a walk: it comes in from the
// right in two steps, sways on the spot, and goes back the way it came.
QList<int> walk(int standFrames)
{
    QList<int> places{250, 180};
    for (int i = 0; i < standFrames; ++i)
        places.append(150 + ((i % 3) - 1) * 7 + (i % 2) * 3);
    places << 180 << 250;
    return places;
}

// The picture of frame `frame` with the build shown from buildAt on (-1:
// never), filmed.
QImage slideAt(int frame, int buildAt, const Look &look)
{
    QImage image = slide(buildAt >= 0 && frame >= buildAt ? withBuild(lines(4)) : lines(4));
    film(image, frame, look);
    return image;
}

} // namespace

void RobustWalk::passerBy_data()
{
    QTest::addColumn<QList<int>>("places"); // of the figure, from frame 8 on
    QTest::addColumn<int>("buildAt");
    QTest::addColumn<QString>("expected");
    const QList<int> crossing{330, 280, 230, 180, 130, 80, 30, -20};
    QTest::newRow("crossing") << crossing << -1 << QStringLiteral("0-29");
    QTest::newRow("standing in front for 6 s") << walk(6) << -1 << QStringLiteral("0-29");
    // In front for 12 s, less than the video window of 15 s.
    QTest::newRow("standing in front for 8 s") << walk(8) << -1 << QStringLiteral("0-29");
    // The build's line lies left of where the figure stands.
    QTest::newRow("a build while it stands in front")
        << walk(8) << 12 << QStringLiteral("0-11 12-29");
}

// Someone walks in front of a still slide and away again: the slide
// behind comes back, so nothing changed, and nothing was a video.
void RobustWalk::passerBy()
{
    QFETCH(QList<int>, places);
    QFETCH(int, buildAt);
    QFETCH(QString, expected);
    const Look look{8, 3, false};
    QList<QImage> frames;
    for (int i = 0; i < 30; ++i) {
        QImage image = slide(buildAt >= 0 && i >= buildAt ? withBuild(lines(4)) : lines(4));
        if (i >= 8 && i - 8 < places.size())
            paintFigure(image, places.at(i - 8));
        film(image, i, look);
        frames.append(image);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), expected);
}

void RobustWalk::shakingCamera_data()
{
    QTest::addColumn<int>("buildAt");
    QTest::addColumn<QString>("expected");
    QTest::newRow("still slide") << -1 << QStringLiteral("0-29");
    QTest::newRow("a build") << 15 << QStringLiteral("0-14 15-29");
}

// The camera shakes by up to 2 pixels either way: the same slide seen a
// little to one side is the same slide.
void RobustWalk::shakingCamera()
{
    QFETCH(int, buildAt);
    QFETCH(QString, expected);
    const QList<QPoint> shakes{{0, 0}, {2, 0},  {-1, 1},  {1, -2}, {-2, 2},
                               {2, 1}, {0, -1}, {-2, -2}, {1, 2},  {-1, 0}};
    const Look look{8, 0, false};
    QList<QImage> frames;
    for (int i = 0; i < 30; ++i) {
        const QImage still = slideAt(i, buildAt, {});
        QImage image(still.size(), QImage::Format_RGB32);
        image.fill(qRgb(250, 250, 250));
        QPainter(&image).drawImage(shakes.at(i % shakes.size()), still);
        film(image, i, look);
        frames.append(image);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), expected);
}

// A still stretch not decoded hands the walk one picture again and again:
// it must come to the timeline that copies of it give, on a shaking camera
// too, where one picture may be aligned anew at another place.
void RobustWalk::pictureHandedAgain()
{
    const QList<QPoint> shakes{{0, 0}, {2, 0}, {-1, 1}, {1, -2}, {-2, 2}, {2, 1}, {0, -1}};
    QList<QImage> shared;
    QList<QImage> copies;
    for (int i = 0; i < 42; ++i) {
        if (i % 3 == 0) {
            const QImage still = slideAt(i, 21, {});
            QImage image(still.size(), QImage::Format_RGB32);
            image.fill(qRgb(250, 250, 250));
            QPainter(&image).drawImage(shakes.at((i / 3) % shakes.size()), still);
            film(image, i, Look{8, 0, false});
            shared.append(image);
        } else {
            shared.append(shared.last());
        }
        copies.append(shared.last().copy());
    }
    const Run fromShared = runRobust(shared);
    const Run fromCopies = runRobust(copies);
    checkContract(fromShared, shared);
    QCOMPARE(layout(fromShared.timeline.segments), layout(fromCopies.timeline.segments));
    QCOMPARE(fromShared.timeline.keepSet, fromCopies.timeline.keepSet);
    QCOMPARE(layout(fromShared.timeline.segments), QStringLiteral("0-20 21-41"));
}

void RobustWalk::exposureSwing_data()
{
    QTest::addColumn<bool>("slideChanges");
    QTest::addColumn<QString>("expected");
    QTest::newRow("alone") << false << QStringLiteral("0-29");
    QTest::newRow("after a change") << true << QStringLiteral("0-9 10-29");
}

// From frame 10 the camera's gain overshoots and settles over two seconds,
// as it does when a dark slide follows a light one.
void RobustWalk::exposureSwing()
{
    QFETCH(bool, slideChanges);
    QFETCH(QString, expected);
    const QList<double> gains{1.35, 0.8, 1.1};
    QList<QImage> frames;
    for (int i = 0; i < 30; ++i) {
        QImage image = slide(slideChanges && i >= 10 ? lines(7) : lines(4));
        const double gain = i >= 10 && i - 10 < gains.size() ? gains.at(i - 10) : 1.0;
        for (int y = 0; y < image.height(); ++y) {
            auto *pixels = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const auto level = [gain](int value) {
                    return std::clamp(int(std::lround(value * gain * 0.8)), 0, 255);
                };
                pixels[x] =
                    qRgb(level(qRed(pixels[x])), level(qGreen(pixels[x])), level(qBlue(pixels[x])));
            }
        }
        film(image, i, Look{6, 0, false});
        frames.append(image);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), expected);
}

void RobustWalk::subtitles_data()
{
    QTest::addColumn<int>("changeAt");
    QTest::addColumn<QString>("expected");
    QTest::newRow("still slide") << -1 << QStringLiteral("0-89");
    QTest::newRow("a new slide after the pause") << 70 << QStringLiteral("0-69 70-89");
}

// A subtitle bar at the foot of the slide shows a new line every 3 s from
// the first seconds on, and none for 16 s in the middle: it moves by
// itself, from its first line and also after its pause.
void RobustWalk::subtitles()
{
    QFETCH(int, changeAt);
    QFETCH(QString, expected);
    QRandomGenerator random(77);
    QList<QImage> frames;
    for (int i = 0; i < 90; ++i) {
        QImage image = slide(changeAt >= 0 && i >= changeAt ? lines(2) : lines(5));
        const bool pause = i >= 38 && i < 54;
        if (i >= 2 && !pause) {
            QRandomGenerator line(quint32(i / 3));
            const int half = line.bounded(60, 100);
            QPainter painter(&image);
            painter.fillRect(QRect(160 - half, 150, 2 * half, 20), QColor(20, 20, 20));
            for (int x = 160 - half + 6; x < 160 + half - 12; x += line.bounded(10, 30))
                painter.fillRect(QRect(x, 156, line.bounded(6, 20), 8), Qt::white);
        }
        film(image, i, Look{6, 0, false});
        frames.append(image);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), expected);
}

// Below the slides, a frame around one of two tiles moves from one to the
// other, as a video call's border round the speaker does: after slides
// have changed twice, a small change outside where they change is none.
void RobustWalk::aroundTheSlides()
{
    const QList<int> lineCounts{1, 6, 2, 7};
    QList<QImage> frames;
    for (int i = 0; i < 60; ++i) {
        QImage image = slide(lines(lineCounts.at(std::min(i / 10, 3))));
        if (i >= 35) {
            QPainter painter(&image);
            painter.setPen(QPen(QColor(40, 90, 220), 3));
            painter.drawRect(QRect(i < 47 ? 40 : 200, 150, 60, 24));
        }
        film(image, i, Look{6, 0, false});
        frames.append(image);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-9 10-19 20-29 30-59"));
}

void RobustWalk::buildTakenBack_data()
{
    QTest::addColumn<Look>("look");
    QTest::newRow("clean") << Look{};
    QTest::newRow("noise and flicker") << Look{16, 4, false};
}

// Two lines go for 4 s and come back: two changes of slide, not a region
// that moves.
void RobustWalk::buildTakenBack()
{
    QFETCH(Look, look);
    QList<QImage> frames;
    show(&frames, lines(6), 10, look);
    show(&frames, lines(4), 4, look);
    show(&frames, lines(6), 12, look);
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-9 10-13 14-25"));
}

void RobustWalk::nextChangeBesideABuild_data()
{
    QTest::addColumn<QList<QRect>>("next");
    QTest::newRow("a second build below the first") << withBuild(withBuild(lines(4)));
    QTest::newRow("the next page, longer around the build") << lines(6);
}

// A one-line build, then 6 s later a change over and beside its line, still
// small: two changes of slide, not a region that keeps showing new lines.
void RobustWalk::nextChangeBesideABuild()
{
    QFETCH(QList<QRect>, next);
    const Look look{6, 0, false};
    QList<QImage> frames;
    show(&frames, lines(4), 10, look);
    show(&frames, withBuild(lines(4)), 6, look);
    show(&frames, next, 14, look);
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-9 10-15 16-29"));
}

namespace
{

const QRect sharedPage(64, 0, 192, 144);

QRect callTile(int k)
{
    return QRect(40 + 62 * k, 148, 56, 30);
}

// A video call: a page of text shared above four participants, each swaying in
// front of a grey wall, a blue border round the one speaking, and a
// subtitle line over the foot of the share when caption is not -1.
QImage callFrame(int frame, int page, int speaker, int caption)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(qRgb(32, 33, 36));
    QPainter painter(&image);
    painter.fillRect(QRect(32, 0, 256, 144), Qt::black);
    painter.fillRect(sharedPage, QColor(250, 250, 250));
    // Each page its own words, in lines of its own count.
    QRandomGenerator words(quint32(page + 7));
    for (int i = 0; i < 3 + 2 * page; ++i) {
        for (int x = 74; x < 214 - 20 * (i % 3); x += 4) {
            const int word = words.bounded(8, 24);
            painter.fillRect(QRect(x, 12 + 14 * i, word, 5), QColor(30, 30, 90));
            x += word;
        }
    }
    painter.setPen(Qt::NoPen);
    for (int k = 0; k < 4; ++k) {
        const QRect tile = callTile(k);
        painter.fillRect(tile, QColor(90, 100, 110));
        painter.setBrush(QColor(200, 150, 120));
        const int sway = int(std::lround(6 * std::sin(0.9 * frame + k)));
        painter.drawEllipse(QRect(tile.center().x() - 9 + sway, tile.top() + 6, 18, 20));
    }
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(74, 158, 255), 2));
    painter.drawRect(callTile(speaker).adjusted(1, 1, -1, -1));
    if (caption >= 0) {
        QRandomGenerator line(quint32(caption + 1));
        const int half = line.bounded(50, 80);
        painter.fillRect(QRect(160 - half, 128, 2 * half, 12), QColor(20, 20, 20));
        for (int x = 160 - half + 4; x < 160 + half - 10; x += line.bounded(8, 20))
            painter.fillRect(QRect(x, 131, line.bounded(4, 12), 6), Qt::white);
    }
    return image;
}

} // namespace

// From the first seconds on, the speaker's border moving between tiles and
// subtitles starting, changing and pausing are no changes of slide; the
// page changing is.
void RobustWalk::callFromTheStart()
{
    const QList<int> captionStarts{5, 8, 12, 15, 30, 34, 37, 41, 44, 52, 56, 60, 63};
    const QList<int> captionEnds{19, 67};
    const QList<QPair<int, int>> speakers{{0, 1}, {9, 2}, {21, 0}, {40, 3}, {52, 1}};
    QList<QImage> frames;
    for (int i = 0; i < 70; ++i) {
        int caption = -1;
        for (qsizetype c = 0; c < captionStarts.size() && captionStarts.at(c) <= i; ++c)
            caption = int(c);
        if ((i >= captionEnds.at(0) && i < captionStarts.at(4)) || i >= captionEnds.at(1) ||
            caption < 0)
            caption = -1;
        int speaker = 0;
        for (const auto &[from, who] : speakers)
            speaker = from <= i ? who : speaker;
        QImage image = callFrame(i, i < 24 ? 0 : i < 48 ? 2 : 1, speaker, caption);
        film(image, i, Look{6, 0, false});
        frames.append(image);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-23 24-47 48-69"));
}

namespace
{

// A mouse pointer, white with a dark edge, its tip at tip.
void paintPointer(QImage &image, QPoint tip)
{
    const QList<QPoint> outline{{0, 0}, {0, 7}, {2, 5}, {3, 8}, {4, 7}, {3, 5}, {5, 5}};
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::white);
    painter.drawPolygon(QPolygon(outline).translated(tip));
}

} // namespace

// The pointer rests on the text, moves across the slide, rests on white
// and goes; the slide stays one slide, and a line added later is a change.
void RobustWalk::pointerMovesAndRests()
{
    QList<QImage> frames;
    for (int i = 0; i < 45; ++i) {
        QImage image = slide(i < 35 ? lines(5) : withBuild(lines(5)));
        if (i < 10)
            paintPointer(image, {60, 36});
        else if (i == 10)
            paintPointer(image, {150, 100});
        else if (i < 25)
            paintPointer(image, {250, 140});
        film(image, i, Look{6, 0, false});
        frames.append(image);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-34 35-44"));
}

// A filmed slide of a title alone, darker towards its corners, under a
// light that flickers by a few per cent: one slide.
void RobustWalk::flickerOnAPlainSlide()
{
    QList<QImage> frames;
    for (int i = 0; i < 40; ++i) {
        QImage image = slide({QRect(60, 30, 200, 12)});
        const double light = 1.0 + 0.04 * std::sin(2.1 * i) * (i % 3 ? 1.0 : -0.5);
        for (int y = 0; y < image.height(); ++y) {
            auto *pixels = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const double dx = (x - width / 2.0) / width;
                const double dy = (y - height / 2.0) / height;
                const double gain = light * (0.95 - 0.9 * (dx * dx + dy * dy));
                const auto level = [gain](int value) {
                    return std::clamp(int(std::lround(value * gain)), 0, 255);
                };
                pixels[x] =
                    qRgb(level(qRed(pixels[x])), level(qGreen(pixels[x])), level(qBlue(pixels[x])));
            }
        }
        film(image, i, Look{8, 0, false});
        frames.append(image);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-39"));
}

void RobustWalk::colourAlone_data()
{
    QTest::addColumn<QRgb>("before");
    QTest::addColumn<QRgb>("after");
    QTest::addColumn<QString>("expected");
    // Each pair has one brightness (the same red + green + blue).
    QTest::newRow("red then blue")
        << qRgb(200, 40, 40) << qRgb(40, 40, 200) << QStringLiteral("0-9 10-19");
    QTest::newRow("a line recoloured")
        << qRgb(30, 30, 90) << qRgb(90, 30, 30) << QStringLiteral("0-9 10-19");
    QTest::newRow("a warmer light")
        << qRgb(250, 250, 250) << qRgb(255, 250, 240) << QStringLiteral("0-19");
}

// The same picture in other colours from frame 10: the first two change
// the slide's colours, the last the light on all of it.
void RobustWalk::colourAlone()
{
    QFETCH(QRgb, before);
    QFETCH(QRgb, after);
    QFETCH(QString, expected);
    QList<QImage> frames;
    for (int i = 0; i < 20; ++i) {
        QImage image = slide(lines(4));
        for (int y = 0; y < image.height(); ++y) {
            auto *pixels = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                if (i >= 10 && (pixels[x] & RGB_MASK) == (before & RGB_MASK))
                    pixels[x] = after;
            }
        }
        film(image, i, Look{6, 0, false});
        frames.append(image);
    }
    // A plain picture for red then blue: the whole frame is the colour.
    if (before == qRgb(200, 40, 40)) {
        for (int i = 0; i < 20; ++i)
            frames[i].fill(i < 10 ? before : after);
    }
    const Run run = runRobust(frames);
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), expected);
}

// Frames of packed 24-bit pixels, as ffmpeg's pipe gives them, walk as the
// same frames in 32-bit pixels do; other formats are read too.
void RobustWalk::packedPixelsAsRgb32()
{
    QList<QImage> frames;
    show(&frames, lines(3), 8, Look{12, 3, false});
    show(&frames, withBuild(lines(3)), 8, Look{12, 3, false});
    for (int i = 3; i < 7; ++i)
        paintFigure(frames[i], 40 * i);
    const Run reference = runRobust(frames);
    for (const QImage::Format format :
         {QImage::Format_RGB888, QImage::Format_ARGB32, QImage::Format_RGBA8888}) {
        QList<QImage> converted;
        for (const QImage &frame : frames)
            converted.append(frame.convertToFormat(format));
        const Run run = runRobust(converted);
        QVERIFY(run.ok);
        QCOMPARE(layout(run.timeline.segments), layout(reference.timeline.segments));
    }
    QCOMPARE(layout(reference.timeline.segments), QStringLiteral("0-7 8-15"));
}

// Talks of random pieces: slides, builds, a frame of a passing shadow,
// clips, animations, noise or none, at 1 or 2 frames a second.
void RobustWalk::contractOnRandomTalks()
{
    QRandomGenerator random(20261208);
    for (int talk = 0; talk < 40; ++talk) {
        const Look look{random.bounded(3) * 10, random.bounded(2) * 4, random.bounded(4) == 0};
        QList<QImage> frames;
        int lineCount = 3;
        for (int piece = random.bounded(1, 8); piece > 0; --piece) {
            const int length = random.bounded(1, 9);
            switch (random.bounded(4)) {
            case 0:
                lineCount = 1 + (lineCount + random.bounded(1, 6)) % 8;
                show(&frames, lines(lineCount), length, look);
                break;
            case 1:
                show(&frames, withBuild(lines(lineCount)), length, look);
                break;
            default: {
                const QRect area = random.bounded(2) ? clipArea : QRect(0, 0, width, height);
                for (int i = 0; i < length; ++i) {
                    QImage image = slide(lines(lineCount));
                    paintMotion(image, area, int(frames.size()));
                    film(image, int(frames.size()), look);
                    frames.append(image);
                }
            }
            }
        }
        const Run run = runRobust(frames, random.bounded(1, 3));
        checkContract(run, frames);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(
                QStringLiteral("talk %1: %2").arg(talk).arg(layout(run.timeline.segments))));
    }
}

// Every time the walk waits for is longer than these talks at such rates.
void RobustWalk::rateBeyondAnyTalk()
{
    QList<QImage> frames;
    show(&frames, lines(2), 5);
    show(&frames, lines(5), 5);
    const Run run = runRobust(frames, std::numeric_limits<int>::max());
    checkContract(run, frames);
    QCOMPARE(layout(run.timeline.segments), QStringLiteral("0-9"));
}

void RobustWalk::failuresStopTheWalk()
{
    QList<QImage> frames;
    show(&frames, lines(2), 10);
    show(&frames, lines(5), 10);
    show(&frames, lines(1), 10);

    const Run broken = runRobust(frames, 1, 14);
    QVERIFY(!broken.ok);
    QCOMPARE(broken.requested.last(), 14);

    const Run refused = runRobust(frames, 1, -1, 1);
    QVERIFY(!refused.ok);
    QCOMPARE(refused.handedOver.size(), 1);
    QVERIFY2(refused.requested.last() < 29, "the walk went on after the sink refused a slide");

    const Run none = runRobust({});
    QVERIFY(none.ok);
    QVERIFY(none.timeline.segments.isEmpty());
    QCOMPARE(none.requested, QList<int>{0});
}

QTEST_GUILESS_MAIN(RobustWalk)
#include "tst_robust.moc"
