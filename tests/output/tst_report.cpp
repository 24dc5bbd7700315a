// The timeline report: times, slide numbering and paths, line by line.
#include "output.h"
#include "testsupport.h"

#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace
{

// What print writes on the process's standard output.
QByteArray capturedStdout(const std::function<void()> &print)
{
    QTemporaryFile file;
    if (!file.open())
        return "cannot open a temporary file";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    print();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    file.seek(0);
    return file.readAll();
}

Segment slide(int start, int end)
{
    return {start, end, start, false, {}};
}

Segment video(int start, int end, const char *label)
{
    return {start, end, -1, true, QString::fromLatin1(label)};
}

// The records of segments as the default run names them: slides numbered
// in order, each showing its own file in outDir.
QList<SlideRecord> records(const QList<Segment> &segments, const QDir &outDir)
{
    QList<SlideRecord> records;
    int slides = 0;
    int videos = 0;
    for (const Segment &segment : segments) {
        if (segment.isVideo)
            records.append({segment, ++videos});
        else
            records.append({segment, ++slides, outDir.filePath(slideFileName(slides))});
    }
    return records;
}

} // namespace

class Report : public QObject
{
    Q_OBJECT

  private slots:
    void times_data();
    void times();
    void videoLinesDoNotCountAsSlides();
    void severalFramesPerSecond();
    void absoluteOutputDirectory();
    void emptyTimelinePrintsNothing();
};

void Report::times_data()
{
    QTest::addColumn<int>("frame");
    QTest::addColumn<int>("fps");
    QTest::addColumn<QString>("time");

    QTest::newRow("start") << 0 << 1 << "00:00:00";
    QTest::newRow("last second of a minute") << 59 << 1 << "00:00:59";
    QTest::newRow("one minute") << 60 << 1 << "00:01:00";
    QTest::newRow("hours, minutes, seconds") << 3725 << 1 << "01:02:05";
    QTest::newRow("no wrap at 24 hours") << 86400 << 1 << "24:00:00";
    QTest::newRow("three-digit hours") << 360000 << 1 << "100:00:00";
    QTest::newRow("part of a second is truncated") << 7 << 2 << "00:00:03";
    QTest::newRow("last frame of the first second at 30 fps") << 29 << 30 << "00:00:00";
    QTest::newRow("first frame of the next second") << 30 << 30 << "00:00:01";
    QTest::newRow("largest frame index") << 2147483647 << 1 << "596523:14:07";
    QTest::newRow("no frames per second") << 3725 << 0 << "00:00:00";
}

void Report::times()
{
    QFETCH(int, frame);
    QFETCH(int, fps);
    QFETCH(QString, time);

    // The start and the end of one segment show the same formatting.
    const QByteArray out = capturedStdout([&] {
        printTimeline(records({slide(frame, frame)}, QDir(QStringLiteral("slides"))), fps);
    });
    QCOMPARE(out, lines({time + QStringLiteral(" - ") + time +
                         QStringLiteral("\tslides/slide_0001.png")}));
}

void Report::videoLinesDoNotCountAsSlides()
{
    const QByteArray out = capturedStdout([] {
        printTimeline(records({slide(0, 41), video(42, 130, "video0001"), slide(131, 3725),
                               slide(3726, 3726), video(3727, 3800, "video0002")},
                              QDir(QStringLiteral("slides"))),
                      1);
    });
    QCOMPARE(out, lines({QStringLiteral("00:00:00 - 00:00:41\tslides/slide_0001.png"),
                         QStringLiteral("00:00:42 - 00:02:10\tvideo0001"),
                         QStringLiteral("00:02:11 - 01:02:05\tslides/slide_0002.png"),
                         QStringLiteral("01:02:06 - 01:02:06\tslides/slide_0003.png"),
                         QStringLiteral("01:02:07 - 01:03:20\tvideo0002")}));
}

void Report::severalFramesPerSecond()
{
    const QByteArray out = capturedStdout([] {
        printTimeline(records({slide(0, 1), slide(2, 4), video(5, 7, "video0001")},
                              QDir(QStringLiteral("out dir"))),
                      2);
    });
    QCOMPARE(out, lines({QStringLiteral("00:00:00 - 00:00:00\tout dir/slide_0001.png"),
                         QStringLiteral("00:00:01 - 00:00:02\tout dir/slide_0002.png"),
                         QStringLiteral("00:00:02 - 00:00:03\tvideo0001")}));
}

void Report::absoluteOutputDirectory()
{
    const QByteArray out = capturedStdout([] {
        printTimeline(records({slide(0, 0)}, QDir(QStringLiteral("/tmp/talk/Folien-ü"))), 1);
    });
    QCOMPARE(out,
             lines({QStringLiteral("00:00:00 - 00:00:00\t/tmp/talk/Folien-ü/slide_0001.png")}));
}

void Report::emptyTimelinePrintsNothing()
{
    QCOMPARE(capturedStdout([] { printTimeline(records({}, QDir(QStringLiteral("slides"))), 1); }),
             QByteArray());
}

QTEST_GUILESS_MAIN(Report)
#include "tst_report.moc"
