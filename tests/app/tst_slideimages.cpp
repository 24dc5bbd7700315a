// The slide-image options through the built binary: --crop X,Y,W,H checked
// before ffmpeg runs and against the first frame; --dedupe naming a shown
// picture's first file in every format and the PDF; and a talk made with
// the real ffmpeg, cut and kept once, alike through frame files and --pipe.
#include "image.h"
#include "slidepages.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QSize frameSize(160, 120);

// The corners of rect, top-left first and clockwise.
QPolygonF quadOf(const QRectF &rect)
{
    return QPolygonF{rect.topLeft(), rect.topRight(), rect.bottomRight(), rect.bottomLeft()};
}

QImage solid(QRgb colour)
{
    return solidImage(frameSize.width(), frameSize.height(), colour);
}

} // namespace

class SlideImages : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void cropValueParsed_data();
    void cropValueParsed();
    void cropValueChecked_data();
    void cropValueChecked();
    void repeatNamesTheFirstFile_data();
    void repeatNamesTheFirstFile();
    void realTalkAlikeInBothModes();
    void sameTimelineWithAutomaticCrop_data();
    void sameTimelineWithAutomaticCrop();

  private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // talk.mp4: each of frames for 4 s, with the ffmpeg filters moving
    // (what passes over them) applied.
    void makeVideo(const QList<QImage> &frames, const QString &moving);
    // Fake ffmpeg that gives frames: as frame files, or down the pipe.
    void serveFrames(const QList<QImage> &frames, bool pipe);
    RunResult run(const QStringList &options, bool pipe) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

void SlideImages::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void SlideImages::serveFrames(const QList<QImage> &frames, bool pipe)
{
    const QString bin = path(QStringLiteral("bin"));
    if (pipe) {
        QByteArray stream;
        for (const QImage &frame : frames)
            stream += ppmOf(frame);
        writeFile(path(QStringLiteral("stream")), stream);
        writeFakeFfmpeg(bin, "cat " + path(QStringLiteral("stream")).toLocal8Bit());
    } else {
        writeSourceFrames(path(QStringLiteral("source")), frames);
        writeFakeFfmpeg(bin, copyFramesBody(path(QStringLiteral("source"))));
    }
}

RunResult SlideImages::run(const QStringList &options, bool pipe) const
{
    QStringList arguments{QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out")};
    if (pipe)
        arguments << QStringLiteral("--pipe");
    return runStillsift(arguments + options, m_dir->path(),
                        environmentWithPath(path(QStringLiteral("bin"))));
}

void SlideImages::cropValueParsed_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QRect>("rect");

    QTest::newRow("three numbers") << "1,2,3" << false << QRect();
    QTest::newRow("five numbers") << "1,2,3,4,5" << false << QRect();
    QTest::newRow("words") << "a,b,c,d" << false << QRect();
    QTest::newRow("a fraction") << "1.5,2,30,40" << false << QRect();
    QTest::newRow("a space") << " 1,2,30,40" << false << QRect();
    QTest::newRow("negative x") << "-1,0,10,10" << false << QRect();
    QTest::newRow("no width") << "0,0,0,10" << false << QRect();
    QTest::newRow("no height") << "0,0,10,0" << false << QRect();
    QTest::newRow("past int") << "2147483647,0,1,1" << false << QRect();
    QTest::newRow("empty") << "" << false << QRect();
    QTest::newRow("Auto is not auto") << "Auto" << false << QRect();
    QTest::newRow("a rectangle") << "0,0,160,120" << true << QRect(0, 0, 160, 120);
    QTest::newRow("one pixel") << "159,119,1,1" << true << QRect(159, 119, 1, 1);
    QTest::newRow("auto") << "auto" << true << QRect();
}

// The parser alone; the runs below show where its answer takes the run.
void SlideImages::cropValueParsed()
{
    QFETCH(QString, value);
    QFETCH(bool, valid);
    QFETCH(QRect, rect);

    const std::optional<CropRequest> request = cropRequestNamed(value);
    QCOMPARE(request.has_value(), valid);
    if (!request)
        return;
    QCOMPARE(request->automatic, value == QLatin1String("auto"));
    QCOMPARE(request->rect, rect);
}

void SlideImages::cropValueChecked_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("pipe");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("ffmpegRuns");

    QTest::newRow("malformed: refused before ffmpeg") << "1,2,3" << false << false << false;
    // Whether a rectangle lies inside the picture is known from the first frame.
    QTest::newRow("wider than the picture (pipe)") << "0,0,161,120" << true << false << true;
    QTest::newRow("below the picture (files)") << "10,100,10,21" << false << false << true;
    QTest::newRow("the last pixel (pipe)") << "159,119,1,1" << true << true << true;
}

void SlideImages::cropValueChecked()
{
    QFETCH(QString, value);
    QFETCH(bool, pipe);
    QFETCH(bool, valid);
    QFETCH(bool, ffmpegRuns);

    serveFrames({solid(qRgb(240, 240, 240)), solid(qRgb(240, 240, 240))}, pipe);
    const RunResult result = run({QStringLiteral("--crop"), value}, pipe);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    if (!valid) {
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.err.right(20), QByteArray("Invalid crop value\n"));
        QCOMPARE(result.out, QByteArray());
        // Malformed values are refused before ffmpeg is started.
        QCOMPARE(QDir(path(QStringLiteral("out"))).exists(), ffmpegRuns);
        return;
    }
    QCOMPARE(result.exitCode, 0);
    QVERIFY(QFile::exists(path(QStringLiteral("out/slide_0001.png"))));
}

void SlideImages::repeatNamesTheFirstFile_data()
{
    QTest::addColumn<bool>("pipe");
    QTest::newRow("frame files") << false;
    QTest::newRow("pipe") << true;
}

void SlideImages::repeatNamesTheFirstFile()
{
    QFETCH(bool, pipe);

    // Pictures a, b, a again and c, each for three frames; c is a with a
    // build, a different picture.
    const QImage a = slidePage(frameSize, 3);
    const QImage b = slidePage(frameSize, 1);
    const QImage c = slidePage(frameSize, 3, 1);
    QList<QImage> frames;
    for (const QImage &picture : {a, b, a, c})
        frames << picture << picture << picture;
    serveFrames(frames, pipe);

    const RunResult text =
        run({QStringLiteral("--dedupe"), QStringLiteral("--pdf=talk.pdf")}, pipe);
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.out, lines({QStringLiteral("00:00:00 - 00:00:02\tout/slide_0001.png"),
                              QStringLiteral("00:00:03 - 00:00:05\tout/slide_0002.png"),
                              QStringLiteral("00:00:06 - 00:00:08\tout/slide_0001.png"),
                              QStringLiteral("00:00:09 - 00:00:11\tout/slide_0003.png")}));
    QCOMPARE(entriesOf(path(QStringLiteral("out"))),
             QStringList({QStringLiteral("slide_0001.png"), QStringLiteral("slide_0002.png"),
                          QStringLiteral("slide_0003.png")}));
    QCOMPARE(QImage(path(QStringLiteral("out/slide_0003.png"))), c);
    // Each picture once in the PDF.
    const QByteArray pdf = readFile(path(QStringLiteral("talk.pdf")));
    QCOMPARE(
        QString::fromLatin1(pdf).count(QRegularExpression(QStringLiteral("/Type\\s*/Page\\b"))), 3);

    const RunResult json = run({QStringLiteral("--dedupe"), QStringLiteral("--format=json")}, pipe);
    QCOMPARE(json.exitCode, 0);
    const QJsonArray segments =
        QJsonDocument::fromJson(json.out).object().value(QStringLiteral("segments")).toArray();
    QCOMPARE(segments.size(), 4);
    const QJsonObject repeat = segments.at(2).toObject();
    QCOMPARE(repeat.value(QStringLiteral("image")).toString(),
             QStringLiteral("out/slide_0001.png"));
    QCOMPARE(repeat.value(QStringLiteral("repeatOf")).toInt(), 1);
    for (const int first : {0, 1, 3})
        QVERIFY(!segments.at(first).toObject().contains(QStringLiteral("repeatOf")));
}

void SlideImages::realTalkAlikeInBothModes()
{
    // Pages a, b and a again, 4 s each, a 4:3 page in the middle of a 16:9
    // picture with black bars. b differs from a by a large box: a change of
    // a line or two undone within seconds is taken for a region that keeps
    // changing by itself (subtitles) by the robust walk.
    const QSize page(480, 360);
    QImage other = slidePage(page, 4);
    QPainter(&other).fillRect(QRect(60, 120, 360, 180), QColor(240, 200, 60));
    const QList<QImage> pages{slidePage(page, 4), other, slidePage(page, 4)};
    QList<QImage> frames;
    for (const QImage &shown : pages)
        frames << shownOn(shown, QSize(640, 360), Qt::black, quadOf(QRectF(80, 0, 480, 360)));
    makeVideo(frames, QStringLiteral("null"));
    if (QTest::currentTestFailed())
        return;

    QList<RunResult> results;
    for (const bool pipe : {false, true}) {
        const QString work = path(pipe ? QStringLiteral("piped") : QStringLiteral("files"));
        QVERIFY(QDir().mkpath(work));
        QStringList options{QStringLiteral("--input"),      path(QStringLiteral("talk.mp4")),
                            QStringLiteral("--out=out"),    QStringLiteral("--detector=robust"),
                            QStringLiteral("--crop=auto"),  QStringLiteral("--dedupe"),
                            QStringLiteral("--format=json")};
        if (pipe)
            options << QStringLiteral("--pipe");
        results.append(runStillsift(options, work, QProcessEnvironment::systemEnvironment()));
        QCOMPARE(results.last().exitCode, 0);
        QVERIFY(!results.last().err.contains("no slide found"));
    }
    QCOMPARE(results.at(1).out, results.at(0).out);
    const QString files = path(QStringLiteral("files/out"));
    QCOMPARE(entriesOf(files),
             QStringList({QStringLiteral("slide_0001.png"), QStringLiteral("slide_0002.png")}));
    QCOMPARE(entriesOf(path(QStringLiteral("piped/out"))), entriesOf(files));
    for (const QString &name : entriesOf(files)) {
        // The same pixels; the pipe's slide writer encodes them its own way.
        QCOMPARE(
            QImage(path(QStringLiteral("piped/out/")) + name).convertToFormat(QImage::Format_RGB32),
            QImage(QDir(files).filePath(name)).convertToFormat(QImage::Format_RGB32));
        // The page itself, bars cut off.
        const QImage slide(QDir(files).filePath(name));
        QCOMPARE(slide.size(), page);
        QVERIFY(meanDifference(slide, pages.at(name == QLatin1String("slide_0001.png") ? 0 : 1)) <
                3.0);
    }
    const QJsonArray segments = QJsonDocument::fromJson(results.at(0).out)
                                    .object()
                                    .value(QStringLiteral("segments"))
                                    .toArray();
    QCOMPARE(segments.size(), 3);
    QCOMPARE(segments.at(2).toObject().value(QStringLiteral("repeatOf")).toInt(), 1);
}

void SlideImages::makeVideo(const QList<QImage> &frames, const QString &moving)
{
    QStringList arguments{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                          QStringLiteral("error")};
    QString graph;
    for (int k = 0; k < frames.size(); ++k) {
        const QString still = path(QStringLiteral("frame%1.png").arg(k));
        writePng(still, frames.at(k));
        arguments << QStringLiteral("-loop") << QStringLiteral("1") << QStringLiteral("-framerate")
                  << QStringLiteral("25") << QStringLiteral("-t") << QStringLiteral("4")
                  << QStringLiteral("-i") << still;
        graph += QStringLiteral("[%1:v]setsar=1[p%1];").arg(k);
    }
    for (int k = 0; k < frames.size(); ++k)
        graph += QStringLiteral("[p%1]").arg(k);
    graph +=
        QStringLiteral("concat=n=%1:v=1:a=0,%2,format=yuv420p[v]").arg(frames.size()).arg(moving);
    arguments << QStringLiteral("-filter_complex") << graph << QStringLiteral("-map")
              << QStringLiteral("[v]") << QStringLiteral("-c:v") << QStringLiteral("libx264")
              << QStringLiteral("-crf") << QStringLiteral("18") << path(QStringLiteral("talk.mp4"));
    const RunResult made = runProgram(QStringLiteral("ffmpeg"), arguments, m_dir->path(),
                                      QProcessEnvironment::systemEnvironment());
    QCOMPARE(made.exitCode, 0);
}

void SlideImages::sameTimelineWithAutomaticCrop_data()
{
    QTest::addColumn<QString>("room");
    QTest::addColumn<QString>("detector");
    for (const char *room : {"screen", "call", "hall"})
        for (const char *detector : {"pixel", "robust"})
            QTest::newRow(qPrintable(
                QStringLiteral("%1, %2").arg(QLatin1String(room), QLatin1String(detector))))
                << QString::fromLatin1(room) << QString::fromLatin1(detector);
}

void SlideImages::sameTimelineWithAutomaticCrop()
{
    QFETCH(QString, room);
    QFETCH(QString, detector);

    // Pages a, b and a again in each room: a screen recording with bars; a
    // call with the page in a share above tiles, someone in a tile moving
    // all along and a caption box coming and going; a hall, the page
    // slanted on a dim wall and someone walking in front of it.
    const QSize frame(640, 360);
    QImage b = slidePage(QSize(400, 300), 4);
    QPainter(&b).fillRect(QRect(50, 100, 300, 150), QColor(240, 200, 60));
    const QList<QImage> pages{slidePage(QSize(400, 300), 4), b, slidePage(QSize(400, 300), 4)};
    QList<QImage> frames;
    QString moving;
    for (const QImage &page : pages) {
        if (room == QLatin1String("screen")) {
            frames << shownOn(page, frame, Qt::black, quadOf(QRectF(80, 0, 480, 360)));
        } else if (room == QLatin1String("call")) {
            QImage shown =
                shownOn(page, frame, QColor(32, 33, 36), quadOf(QRectF(120, 0, 400, 300)));
            QPainter painter(&shown);
            for (int k = 0; k < 4; ++k)
                painter.fillRect(QRect(70 + 128 * k, 306, 116, 54), QColor(80 + 30 * k, 70, 60));
            frames << shown;
        } else {
            QImage shown(frame, QImage::Format_RGB32);
            shown.fill(QColor(26, 26, 30));
            const QPolygonF quad{QPointF(60, 30), QPointF(420, 72), QPointF(420, 262),
                                 QPointF(60, 318)};
            QPainter painter(&shown);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.setTransform(pageToQuad(page.size(), quad));
            painter.drawImage(0, 0, page);
            frames << shown;
        }
    }
    // Someone in a tile moves all along, a caption comes and goes; in
    // the hall, someone walks in front of the page.
    if (room == QLatin1String("screen"))
        moving = QStringLiteral("null");
    else if (room == QLatin1String("call"))
        moving = QStringLiteral("drawbox=x=150:y=310:w=30:h=46:color=0xd0a080:t=fill:"
                                "enable='lt(mod(t,1.3),0.6)',"
                                "drawbox=x=170:y=310:w=30:h=46:color=0xd0a080:t=fill:"
                                "enable='gte(mod(t,1.3),0.6)',"
                                "drawbox=x=220:y=262:w=200:h=24:color=0x404040:t=fill:"
                                "enable='lt(mod(t,3),2)'");
    else
        moving = QStringLiteral("drawbox=x=40:y=120:w=70:h=240:color=0x1c1816:t=fill:"
                                "enable='between(t,2,4)',"
                                "drawbox=x=150:y=120:w=70:h=240:color=0x1c1816:t=fill:"
                                "enable='between(t,4.01,6)',"
                                "drawbox=x=260:y=120:w=70:h=240:color=0x1c1816:t=fill:"
                                "enable='between(t,6.01,8)'");
    makeVideo(frames, moving);
    if (QTest::currentTestFailed())
        return;

    QList<QByteArray> reports;
    for (const bool crop : {false, true}) {
        const QString work = path(crop ? QStringLiteral("cropped") : QStringLiteral("whole"));
        QVERIFY(QDir().mkpath(work));
        QStringList options{QStringLiteral("--input"),    path(QStringLiteral("talk.mp4")),
                            QStringLiteral("--out=out"),  QStringLiteral("--pipe"),
                            QStringLiteral("--detector"), detector};
        if (crop)
            options << QStringLiteral("--crop=auto");
        const RunResult result =
            runStillsift(options, work, QProcessEnvironment::systemEnvironment());
        QCOMPARE(result.exitCode, 0);
        reports << result.out;
    }
    QCOMPARE(reports.at(1), reports.at(0));
    // The first picture is the page, not the frame (a caption may stay).
    const QImage first(path(QStringLiteral("cropped/out/slide_0001.png")));
    QVERIFY(first.width() < frame.width());
    QVERIFY2(meanDifference(first, pages.at(0)) < 25.0,
             qPrintable(QString::number(meanDifference(first, pages.at(0)))));
}

QTEST_GUILESS_MAIN(SlideImages)
#include "tst_slideimages.moc"
