// The segmentation walk on frames built in memory: a frame is a row of
// pixels whose first `level` pixels are white and the rest black, so two
// frames of the same width w score exactly 1 - |level difference| / w. With
// the usual width of 1000 and a threshold of 0.99, frames up to 9 levels apart
// are alike and frames 11 or more apart are a change.
#include "detect.h"
#include "testsupport.h"
#include "walkrun.h"

#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(DetectOptions)
Q_DECLARE_METATYPE(Segment)

namespace
{

constexpr int kWidth = 1000;
constexpr int kOtherSize = -1; // a level that stands for a 1 x 1 frame
const double kNaN = std::numeric_limits<double>::quiet_NaN();

QImage barImage(int level, int width)
{
    if (level == kOtherSize)
        return solidImage(1, 1, qRgb(0, 0, 0));
    QImage image = solidImage(width, 1, qRgb(0, 0, 0));
    for (int x = 0; x < level; ++x)
        image.setPixel(x, 0, qRgb(255, 255, 255));
    return image;
}

QList<QImage> barFrames(const QList<int> &levels, int width = kWidth)
{
    QList<QImage> frames;
    for (int level : levels)
        frames.append(barImage(level, width));
    return frames;
}

DetectOptions detectOptions(int fps, double threshold, int videoChanges, int videoWindow)
{
    DetectOptions options;
    options.fps = fps;
    options.threshold = threshold;
    options.videoChanges = videoChanges;
    options.videoWindow = videoWindow;
    return options;
}

Segment slide(int start, int end, int kept)
{
    return {start, end, kept, false, QString()};
}

Segment video(int start, int end, const char *label)
{
    return {start, end, -1, true, QString::fromLatin1(label)};
}

// Every field, with a null string told apart from an empty one.
QString describe(const Segment &segment)
{
    const auto text = [](const QString &value) {
        return value.isNull() ? QStringLiteral("null")
                              : QLatin1Char('"') + value + QLatin1Char('"');
    };
    return QStringLiteral("%1 %2-%3 kept %4 label %5")
        .arg(segment.isVideo ? QStringLiteral("video") : QStringLiteral("slide"))
        .arg(segment.startFrame)
        .arg(segment.endFrame)
        .arg(QString::number(segment.keptFrame), text(segment.videoLabel));
}

QStringList describe(const QList<Segment> &segments)
{
    QStringList lines;
    for (const Segment &segment : segments)
        lines.append(describe(segment));
    return lines;
}

QList<int> sorted(const QSet<int> &set)
{
    QList<int> list(set.begin(), set.end());
    std::sort(list.begin(), list.end());
    return list;
}

// The slides of a timeline, in order.
QList<Segment> slidesOf(const QList<Segment> &segments)
{
    QList<Segment> slides;
    for (const Segment &segment : segments)
        if (!segment.isVideo)
            slides.append(segment);
    return slides;
}

QList<int> upTo(int last)
{
    QList<int> indices;
    for (int i = 0; i <= last; ++i)
        indices.append(i);
    return indices;
}

// The walk written out plainly, one branch per case, empty segments included;
// what an empty segment must not leave behind is removed afterwards
// (withoutEmptySegments), so this shares no shortcut with the code under test.
QList<Segment> literalWalk(const QList<QImage> &frames, const DetectOptions &options)
{
    const int n = int(frames.size());
    QList<Segment> segments;
    QImage reference = frames.at(0);
    int referenceFrame = 0;
    int segmentStart = 0;
    QList<int> changes;
    bool videoMode = false;
    int videoStart = 0;
    int runLength = 0;
    const qint64 windowLength = qint64(options.videoWindow) * options.fps;

    for (int i = 1; i < n; ++i) {
        const bool like = frameSimilarity(reference, frames.at(i)) >= options.threshold;
        if (!videoMode && like) { // like the frame before
            reference = frames.at(i);
        } else if (!videoMode) { // a change in slide mode
            changes.append(i);
            while (!changes.isEmpty() && i - changes.first() > windowLength)
                changes.removeFirst();
            if (changes.size() > options.videoChanges) { // enter video mode
                segments.append({segmentStart, changes.first() - 1, referenceFrame, false, {}});
                videoStart = changes.first();
                reference = frames.at(i);
                runLength = 1;
                videoMode = true;
            } else { // slide change
                segments.append({segmentStart, i - 1, referenceFrame, false, {}});
                referenceFrame = i;
                reference = frames.at(i);
                changes = {i};
                segmentStart = i;
            }
        } else if (!like) { // a change in video mode
            reference = frames.at(i);
            runLength = 1;
        } else if (++runLength >= options.videoWindow) { // leave video mode
            segments.append({videoStart, i - runLength, -1, true, {}});
            referenceFrame = i;
            segmentStart = i - runLength + 1;
            reference = frames.at(i);
            changes.clear();
            videoMode = false;
            runLength = 1;
        }
    }
    if (videoMode)
        segments.append({videoStart, n - 1, -1, true, {}});
    else
        segments.append({segmentStart, n - 1, referenceFrame, false, {}});
    return segments;
}

struct Dropped {
    int slides = 0;
    int videos = 0;
};

// Empty segments go, labels number the videos that stay, and the kept frames
// are those of the slides that stay.
Timeline withoutEmptySegments(const QList<Segment> &literal, Dropped *dropped)
{
    Timeline timeline;
    int videos = 0;
    for (Segment segment : literal) {
        if (segment.endFrame < segment.startFrame) {
            ++(segment.isVideo ? dropped->videos : dropped->slides);
            continue;
        }
        if (segment.isVideo)
            segment.videoLabel = QStringLiteral("video%1").arg(++videos, 4, 10, QLatin1Char('0'));
        else
            timeline.keepSet.insert(segment.keptFrame);
        timeline.segments.append(segment);
    }
    return timeline;
}

// The first broken promise of the segment list and keep-set, or an empty text.
QString invariantViolation(const Timeline &timeline, int frameCount)
{
    const QList<Segment> &segments = timeline.segments;
    if (segments.isEmpty() || segments.size() > frameCount)
        return QStringLiteral("%1 segments for %2 frames").arg(segments.size()).arg(frameCount);
    if (segments.first().isVideo || segments.first().startFrame != 0)
        return QStringLiteral("does not open with a slide at 0");
    if (segments.last().endFrame != frameCount - 1)
        return QStringLiteral("does not end at the last frame");

    QSet<int> slideKept;
    int lastKept = -1;
    int videos = 0;
    for (qsizetype k = 0; k < segments.size(); ++k) {
        const Segment &s = segments.at(k);
        const QString where = QStringLiteral("segment %1: ").arg(k);
        if (s.endFrame < s.startFrame)
            return where + QStringLiteral("empty");
        if (k > 0 && s.startFrame != segments.at(k - 1).endFrame + 1)
            return where + QStringLiteral("does not follow the one before");
        if (s.isVideo) {
            if (segments.at(k - 1).isVideo)
                return where + QStringLiteral("two videos in a row");
            if (s.keptFrame != -1)
                return where + QStringLiteral("video keeps a frame");
            if (s.videoLabel != QStringLiteral("video%1").arg(++videos, 4, 10, QLatin1Char('0')))
                return where + QStringLiteral("label out of sequence");
            continue;
        }
        const int kept = s.keptFrame;
        if (!s.videoLabel.isNull())
            return where + QStringLiteral("slide has a label");
        if (kept < s.startFrame || kept > s.endFrame)
            return where + QStringLiteral("kept frame outside the slide");
        if (kept <= lastKept)
            return where + QStringLiteral("kept frames do not increase");
        lastKept = kept;
        slideKept.insert(s.keptFrame);
    }
    if (timeline.keepSet != slideKept)
        return QStringLiteral("keep-set is not the slides' kept frames");
    return QString();
}

// Three walks followed frame by frame below: changes at 4 and 8 with a
// window of 3, the same with the second change at 7, and a video between two
// slides.
const QList<int> changesFourApart{300, 305, 306, 313, 913, 911, 908, 904, 254, 255};
const QList<int> changesThreeApart{300, 305, 306, 313, 913, 911, 908, 258, 259, 260};
const QList<int> videoBetweenSlides{100, 101, 103, 106, 110, 810, 230,
                                    720, 725, 713, 712, 710, 707};

} // namespace

class Segmentation : public QObject
{
    Q_OBJECT

  private slots:
    void fixtureFramesScoreAsIntended();
    void timelines_data();
    void timelines();
    void labelsPastFourDigits();
    void nullFrameStopsTheWalk_data();
    void nullFrameStopsTheWalk();
    void refusedSlideStopsTheWalk();
    void noFramesNoSegments();
    void randomSequencesKeepInvariantsAndMatchSteps();
};

void Segmentation::fixtureFramesScoreAsIntended()
{
    struct Step {
        const QList<int> &levels;
        int frame;
        int comparedWith;
        double score;
    };
    const Step steps[] = {
        {changesFourApart, 1, 0, 0.995},     {changesFourApart, 2, 1, 0.999},
        {changesFourApart, 3, 2, 0.993},     {changesFourApart, 4, 3, 0.400},
        {changesFourApart, 5, 4, 0.998},     {changesFourApart, 6, 5, 0.997},
        {changesFourApart, 7, 6, 0.996},     {changesFourApart, 8, 7, 0.350},
        {changesFourApart, 9, 8, 0.999},     {changesThreeApart, 7, 6, 0.350},
        {videoBetweenSlides, 1, 0, 0.999},   {videoBetweenSlides, 2, 1, 0.998},
        {videoBetweenSlides, 3, 2, 0.997},   {videoBetweenSlides, 4, 3, 0.996},
        {videoBetweenSlides, 5, 4, 0.300},   {videoBetweenSlides, 6, 5, 0.420},
        {videoBetweenSlides, 7, 6, 0.510},   {videoBetweenSlides, 8, 7, 0.995},
        {videoBetweenSlides, 9, 7, 0.993},   {videoBetweenSlides, 10, 9, 0.999},
        {videoBetweenSlides, 11, 10, 0.998}, {videoBetweenSlides, 12, 11, 0.997},
    };
    for (const Step &step : steps) {
        const QList<QImage> frames = barFrames(step.levels);
        const double score = frameSimilarity(frames.at(step.comparedWith), frames.at(step.frame));
        QVERIFY2(std::abs(score - step.score) < 1e-12, qPrintable(QString::number(step.frame)));
    }

    // Where the outcome tells which frame was the reference: these would
    // turn out otherwise against another frame.
    const QList<QImage> a = barFrames(changesFourApart);
    QVERIFY(frameSimilarity(a.at(0), a.at(3)) < 0.99); // the slide's first frame
    const QList<QImage> b = barFrames(videoBetweenSlides);
    QVERIFY(frameSimilarity(b.at(8), b.at(9)) < 0.99);  // the frame before, in video mode
    QVERIFY(frameSimilarity(b.at(7), b.at(12)) < 0.99); // the last video reference
}

void Segmentation::timelines_data()
{
    QTest::addColumn<QList<int>>("levels");
    QTest::addColumn<DetectOptions>("options");
    QTest::addColumn<QList<Segment>>("segments");
    QTest::addColumn<QList<int>>("kept");

    const auto same = [](int count, int level) { return QList<int>(count, level); };

    QTest::newRow("changes 4 apart with window 3 make slides")
        << changesFourApart << detectOptions(1, 0.99, 1, 3)
        << QList<Segment>{slide(0, 3, 0), slide(4, 7, 4), slide(8, 9, 8)} << QList<int>{0, 4, 8};
    QTest::newRow("changes 3 apart with window 3: video from the slide it empties")
        << changesThreeApart << detectOptions(1, 0.99, 1, 3)
        << QList<Segment>{slide(0, 3, 0), video(4, 6, "video0001"), slide(7, 9, 9)}
        << QList<int>{0, 9};
    QTest::newRow("video ends where the picture settled, next slide keeps where it left")
        << videoBetweenSlides << detectOptions(1, 0.99, 0, 3)
        << QList<Segment>{slide(0, 4, 0), video(5, 6, "video0001"), slide(7, 12, 9)}
        << QList<int>{0, 9};

    QTest::newRow("single frame") << QList<int>{500} << detectOptions(1, 0.99, 0, 1)
                                  << QList<Segment>{slide(0, 0, 0)} << QList<int>{0};
    QTest::newRow("identical frames") << same(4, 500) << detectOptions(1, 0.99, 0, 1)
                                      << QList<Segment>{slide(0, 3, 0)} << QList<int>{0};
    QTest::newRow("threshold 0 makes even another size alike")
        << QList<int>{0, kOtherSize, 1000, kOtherSize} << detectOptions(1, 0.0, 0, 1)
        << QList<Segment>{slide(0, 3, 0)} << QList<int>{0};
    QTest::newRow("negative threshold makes everything alike")
        << QList<int>{0, 1000, kOtherSize} << detectOptions(1, -0.5, 0, 1)
        << QList<Segment>{slide(0, 2, 0)} << QList<int>{0};

    const QList<Segment> everyFrameASlide{slide(0, 0, 0), slide(1, 1, 1), slide(2, 2, 2),
                                          slide(3, 3, 3)};
    QTest::newRow("threshold above 1, change count 2: a slide per frame")
        << same(4, 500) << detectOptions(1, 1.5, 2, 15) << everyFrameASlide
        << QList<int>{0, 1, 2, 3};
    QTest::newRow("threshold above 1, change count 5: a slide per frame")
        << same(4, 500) << detectOptions(1, 1.5, 5, 15) << everyFrameASlide
        << QList<int>{0, 1, 2, 3};
    QTest::newRow("NaN threshold: every frame a change")
        << same(4, 500) << detectOptions(1, kNaN, 2, 15) << everyFrameASlide
        << QList<int>{0, 1, 2, 3};
    QTest::newRow("all changes with count 0: video from 1 to the end, even with window 1")
        << same(5, 500) << detectOptions(1, 1.5, 0, 1)
        << QList<Segment>{slide(0, 0, 0), video(1, 4, "video0001")} << QList<int>{0};
    QTest::newRow("NaN threshold with count 0 never leaves video mode")
        << same(4, 500) << detectOptions(1, kNaN, 0, 1)
        << QList<Segment>{slide(0, 0, 0), video(1, 3, "video0001")} << QList<int>{0};

    QTest::newRow("threshold 1.0: identical alike, 0.999 a change")
        << QList<int>{500, 500, 501, 501} << detectOptions(1, 1.0, 5, 15)
        << QList<Segment>{slide(0, 1, 0), slide(2, 3, 2)} << QList<int>{0, 2};
    QTest::newRow("score equal to threshold is alike")
        << QList<int>{0, 500} << detectOptions(1, 0.5, 0, 1) << QList<Segment>{slide(0, 1, 0)}
        << QList<int>{0};
    QTest::newRow("score just below threshold is a change")
        << QList<int>{0, 501} << detectOptions(1, 0.5, 5, 1)
        << QList<Segment>{slide(0, 0, 0), slide(1, 1, 1)} << QList<int>{0, 1};

    // fps 2 x window 2: changes up to 4 frames apart count together.
    QTest::newRow("count 1: next change at p + window length enters video")
        << QList<int>{0, 0, 500, 500, 500, 500, 0, 0} << detectOptions(2, 0.99, 1, 2)
        << QList<Segment>{slide(0, 1, 0), video(2, 5, "video0001"), slide(6, 7, 7)}
        << QList<int>{0, 7};
    QTest::newRow("count 1: next change at p + window length + 1 is a slide change")
        << QList<int>{0, 0, 500, 500, 500, 500, 500, 0, 0} << detectOptions(2, 0.99, 1, 2)
        << QList<Segment>{slide(0, 1, 0), slide(2, 6, 2), slide(7, 8, 7)} << QList<int>{0, 2, 7};

    QTest::newRow("count 0, video left with no change inside: no video, no label used")
        << QList<int>{0, 0, 0, 500, 500, 500, 500, 900, 100, 100} << detectOptions(1, 0.99, 0, 3)
        << QList<Segment>{slide(0, 2, 0), slide(3, 6, 5), video(7, 9, "video0001")}
        << QList<int>{0, 5};
    // fps 3 x window 2: the change list would still hold 2 and 3 at frame 6.
    QTest::newRow("count 1 after leaving video: next change is a slide change")
        << QList<int>{0, 0, 500, 900, 900, 900, 0, 0, 0} << detectOptions(3, 0.99, 1, 2)
        << QList<Segment>{slide(0, 1, 0), video(2, 2, "video0001"), slide(3, 5, 4), slide(6, 8, 6)}
        << QList<int>{0, 4, 6};
    QTest::newRow("count 0 after leaving video: next change enters video again")
        << QList<int>{0, 0, 500, 900, 900, 900, 0, 0, 0} << detectOptions(3, 0.99, 0, 2)
        << QList<Segment>{slide(0, 1, 0), video(2, 2, "video0001"), slide(3, 5, 4), slide(6, 8, 7)}
        << QList<int>{0, 4, 7};
    QTest::newRow("after leaving video the next frame is compared with the leave frame")
        << QList<int>{0, 500, 508, 516} << detectOptions(1, 0.99, 0, 2)
        << QList<Segment>{slide(0, 0, 0), slide(1, 3, 2)} << QList<int>{0, 2};
    QTest::newRow("second video ends the run with the next label")
        << QList<int>{0, 500, 900, 900, 0, 300} << detectOptions(1, 0.99, 0, 2)
        << QList<Segment>{slide(0, 0, 0), video(1, 1, "video0001"), slide(2, 3, 3),
                          video(4, 5, "video0002")}
        << QList<int>{0, 3};

    // Video mode entered at 1, changed at 2, then still from 2 on.
    const QList<int> settles{0, 500, 900, 900, 900, 900, 900};
    const int leavesAt[] = {3, 3, 4, 5, 6};
    for (int window = 1; window <= 5; ++window) {
        const int left = leavesAt[window - 1];
        QTest::addRow("window %d leaves at frame %d", window, left)
            << settles << detectOptions(1, 0.99, 0, window)
            << QList<Segment>{slide(0, 0, 0), video(1, 1, "video0001"), slide(2, 6, left)}
            << QList<int>{0, left};
    }
    QTest::newRow("window 6 is never reached in 7 frames")
        << settles << detectOptions(1, 0.99, 0, 6)
        << QList<Segment>{slide(0, 0, 0), video(1, 6, "video0001")} << QList<int>{0};
    QTest::newRow("a change in video mode restarts the still run")
        << QList<int>{0, 500, 502, 900, 900, 900} << detectOptions(1, 0.99, 0, 3)
        << QList<Segment>{slide(0, 0, 0), video(1, 2, "video0001"), slide(3, 5, 5)}
        << QList<int>{0, 5};
    QTest::newRow("fps 2, window 15: leaves after 15 frames, not 30")
        << QList<int>{0, 500} + same(16, 900) << detectOptions(2, 0.99, 0, 15)
        << QList<Segment>{slide(0, 0, 0), video(1, 1, "video0001"), slide(2, 17, 16)}
        << QList<int>{0, 16};

    QTest::newRow("another size is a change, and the next frame is compared with it")
        << QList<int>{0, 0, kOtherSize, kOtherSize, 0} << detectOptions(1, 0.99, 5, 15)
        << QList<Segment>{slide(0, 1, 0), slide(2, 3, 2), slide(4, 4, 4)} << QList<int>{0, 2, 4};

    QList<int> drift;
    for (int level = 0; level <= 200; level += 8)
        drift.append(level);
    QTest::newRow("slow drift in slide mode never changes")
        << drift << detectOptions(1, 0.99, 0, 3) << QList<Segment>{slide(0, 25, 0)}
        << QList<int>{0};
    QTest::newRow("slow drift in video mode is measured from the last change")
        << QList<int>{0, 500, 508, 516, 524, 532, 540} << detectOptions(1, 0.99, 0, 3)
        << QList<Segment>{slide(0, 0, 0), video(1, 6, "video0001")} << QList<int>{0};

    const int most = std::numeric_limits<int>::max();
    QTest::newRow("fps and window at INT_MAX: window length does not wrap")
        << QList<int>{0, 500, 500, 0} << detectOptions(most, 0.99, 1, most)
        << QList<Segment>{slide(0, 0, 0), video(1, 3, "video0001")} << QList<int>{0};
}

void Segmentation::timelines()
{
    QFETCH(QList<int>, levels);
    QFETCH(DetectOptions, options);
    QFETCH(QList<Segment>, segments);
    QFETCH(QList<int>, kept);

    const Run run = runWalk(barFrames(levels), options);
    QVERIFY(run.ok);
    QCOMPARE(describe(run.timeline.segments), describe(segments));
    QCOMPARE(sorted(run.timeline.keepSet), kept);
    // Every frame once, in order, then one more to learn that they ended.
    QCOMPARE(run.requested, upTo(int(levels.size())));
    // The sink took every slide as it stands in the timeline, with the
    // picture of its kept frame.
    QCOMPARE(describe(run.handedOver), describe(slidesOf(run.timeline.segments)));
    for (qsizetype k = 0; k < run.handedOver.size(); ++k)
        QCOMPARE(run.pictures.at(k), barImage(levels.at(run.handedOver.at(k).keptFrame), kWidth));
}

void Segmentation::labelsPastFourDigits()
{
    // Enter video, change inside it, leave at the next alike frame: one
    // video segment of one frame per three frames.
    const QList<QImage> levels = barFrames({0, 1, 2}, 2);
    QList<QImage> frames{levels.at(0)};
    for (int video = 0; video < 10000; ++video)
        frames << levels.at(1) << levels.at(2) << levels.at(2);

    const Run run = runWalk(frames, detectOptions(1, 0.99, 0, 1));
    QVERIFY(run.ok);
    QCOMPARE(run.timeline.segments.size(), 20001);
    QCOMPARE(describe(run.timeline.segments.mid(19997)),
             describe({video(29995, 29995, "video9999"), slide(29996, 29997, 29997),
                       video(29998, 29998, "video10000"), slide(29999, 30000, 30000)}));
}

void Segmentation::nullFrameStopsTheWalk_data()
{
    QTest::addColumn<int>("nullAt");
    QTest::newRow("first frame") << 0;
    QTest::newRow("second frame") << 1;
    QTest::newRow("inside video mode") << 3;
    QTest::newRow("last frame") << 5;
}

void Segmentation::nullFrameStopsTheWalk()
{
    QFETCH(int, nullAt);
    // Video mode from frame 2 on, so the walk is in both modes on the way.
    const QList<QImage> frames = barFrames({0, 0, 500, 900, 900, 900});
    const Run run = runWalk(frames, detectOptions(1, 0.99, 0, 15), nullAt);
    QVERIFY(!run.ok);
    QCOMPARE(run.requested, upTo(nullAt));
}

void Segmentation::refusedSlideStopsTheWalk()
{
    // Slides close at the changes at 2 and 5: refusing the second stops the
    // walk there, without asking for a later frame.
    const QList<QImage> frames = barFrames({0, 0, 500, 500, 500, 900, 0, 900, 0});
    const Run run = runWalk(frames, detectOptions(1, 0.99, 5, 15), -1, 1);
    QVERIFY(!run.ok);
    QCOMPARE(describe(run.handedOver), describe(QList<Segment>{slide(0, 1, 0)}));
    QCOMPARE(run.requested, upTo(5));

    // The last slide is handed over after the frames end, and may be refused
    // too.
    const Run last = runWalk(barFrames({0, 0, 0}), detectOptions(1, 0.99, 5, 15), -1, 0);
    QVERIFY(!last.ok);
    QCOMPARE(last.requested, upTo(3));
}

void Segmentation::noFramesNoSegments()
{
    const Run run = runWalk({}, DetectOptions());
    QVERIFY(run.ok);
    QVERIFY(run.timeline.segments.isEmpty());
    QVERIFY(run.handedOver.isEmpty());
    QCOMPARE(run.requested, QList<int>{0});
}

void Segmentation::randomSequencesKeepInvariantsAndMatchSteps()
{
    // Narrow frames keep the levels few, so still runs and repeats are common.
    constexpr int width = 20;
    const double thresholds[] = {0.9, 0.9, 0.9, 0.85, 0.95, 1.0, 0.0, 1.5, kNaN};
    int videoSegments = 0;
    Dropped dropped;

    for (quint32 seed = 1; seed <= 4; ++seed) {
        QRandomGenerator random(seed);
        for (int round = 0; round < 1000; ++round) {
            const DetectOptions options =
                detectOptions(random.bounded(1, 4), thresholds[random.bounded(9)],
                              random.bounded(0, 4), random.bounded(1, 6));
            QList<int> levels{random.bounded(width + 1)};
            const int n = random.bounded(1, 61);
            while (levels.size() < n) {
                const int roll = random.bounded(100);
                const int last = levels.last() == kOtherSize ? 0 : levels.last();
                if (roll < 50)
                    levels.append(last);
                else if (roll < 70)
                    levels.append(qBound(0, last + random.bounded(-2, 3), width));
                else if (roll < 97)
                    levels.append(random.bounded(width + 1));
                else
                    levels.append(kOtherSize);
            }
            const QList<QImage> frames = barFrames(levels, width);
            const QString context = QStringLiteral("seed %1 round %2").arg(seed).arg(round);

            const Run run = runWalk(frames, options);
            QVERIFY2(run.ok, qPrintable(context));
            QVERIFY2(run.requested == upTo(n), qPrintable(context));
            const QString violation = invariantViolation(run.timeline, n);
            QVERIFY2(violation.isEmpty(), qPrintable(context + QStringLiteral(": ") + violation));

            const Timeline expected = withoutEmptySegments(literalWalk(frames, options), &dropped);
            const QStringList actual = describe(run.timeline.segments);
            const QStringList wanted = describe(expected.segments);
            QVERIFY2(actual == wanted,
                     qPrintable(context + QStringLiteral("\n got: ") +
                                actual.join(QStringLiteral("; ")) + QStringLiteral("\nwant: ") +
                                wanted.join(QStringLiteral("; "))));
            QVERIFY2(run.timeline.keepSet == expected.keepSet, qPrintable(context));

            for (const Segment &segment : run.timeline.segments)
                videoSegments += segment.isVideo ? 1 : 0;
        }
    }
    // The generated inputs must reach video mode and both empty-segment cases
    // often enough for the comparison to mean something.
    QVERIFY2(videoSegments > 1000, qPrintable(QString::number(videoSegments)));
    QVERIFY2(dropped.slides > 500, qPrintable(QString::number(dropped.slides)));
    QVERIFY2(dropped.videos > 500, qPrintable(QString::number(dropped.videos)));
}

QTEST_GUILESS_MAIN(Segmentation)
#include "tst_segment.moc"
