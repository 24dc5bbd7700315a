// The robust walk on small talks drawn in memory: white slides with dark
// lines of "text", sensor noise, a flickering light, a region that moves
// all the time, a clip inside a slide and a full-screen animation.
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
