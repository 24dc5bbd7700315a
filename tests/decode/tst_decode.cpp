// The frames decoded in the process against those ffmpeg sends down the
// pipe, on videos made with the real ffmpeg: every frame the same, pixel for
// pixel, however the video's timestamps run; skimming close to them, a
// build inside a stretch of small packets and a fade found at their frames,
// and a noisy video decoded in full.
#include "decode.h"
#include "frames.h"
#include "testsupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

namespace
{

bool ffmpeg(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("ffmpeg"),
                  QStringList{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                              QStringLiteral("error"), QStringLiteral("-y")} +
                      arguments);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QStringList lavfi(const QString &graph)
{
    return {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), graph};
}

QList<QImage> allFrames(FrameSource frames)
{
    QList<QImage> all;
    for (int i = 0;; ++i) {
        const std::optional<QImage> frame = frames(i);
        if (!frame || frame->isNull())
            return all;
        all.append(*frame);
    }
}

QList<QImage> pipedFrames(const QString &video, int fps)
{
    PipeFailure failure;
    return allFrames(pipeFrames(video, fps, &failure));
}

// The frames the decoding without skimming decodes.
qint64 framesDecodedWhole(const QString &video)
{
    DecodeFailure failure;
    DecodeCounts counts;
    allFrames(decodedFrames(video, 1, false, &failure, &counts));
    return counts.framesDecoded;
}

} // namespace

class Decode : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void sameFramesAsThePipe_data();
    void sameFramesAsThePipe();
    void skimmedCloseToThePipe_data();
    void skimmedCloseToThePipe();
    void noisyVideoDecodedInFull();
    void decodedInFull_data();
    void decodedInFull();
    void droppedEarly();
    void corruptPacketPassedOver();
    void unreadableInput_data();
    void unreadableInput();

  private:
    QString video(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir m_dir;
};

void Decode::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Frames 40 ms apart, then 13 ms, then 110 ms.
    QVERIFY(
        ffmpeg(lavfi(QStringLiteral("testsrc2=size=160x120:rate=25:duration=12")) +
               QStringList{QStringLiteral("-vf"),
                           QStringLiteral("setpts='if(lt(N,100),N*0.04,if(lt(N,200),4+(N-"
                                          "100)*0.013,5.3+(N-200)*0.11))/TB'"),
                           QStringLiteral("-fps_mode"), QStringLiteral("vfr"), video("vfr.mkv")}));
    // Video from 2.3 s, sound from 0.
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=160x120:rate=25:duration=5")) +
                   QStringList{video("five.mp4")}));
    QVERIFY(ffmpeg(lavfi(QStringLiteral("sine=duration=8")) +
                   QStringList{QStringLiteral("-itsoffset"), QStringLiteral("2.3"),
                               QStringLiteral("-i"), video("five.mp4"), QStringLiteral("-map"),
                               QStringLiteral("0:a"), QStringLiteral("-map"), QStringLiteral("1:v"),
                               QStringLiteral("-c:v"), QStringLiteral("copy"), video("late.mkv")}));
    // 160x120 for 4.5 s, then 240x136.
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=160x120:rate=25:duration=4.5")) +
                   QStringList{video("small.ts")}));
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=240x136:rate=25:duration=4.5")) +
                   QStringList{video("large.ts")}));
    QVERIFY(ffmpeg({QStringLiteral("-i"),
                    QStringLiteral("concat:%1|%2").arg(video("small.ts"), video("large.ts")),
                    QStringLiteral("-c"), QStringLiteral("copy"), video("sizes.ts")}));
    // HEVC, whose B-frames no sample shows are left out as H.264's are.
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=160x120:rate=25:duration=6")) +
                   QStringList{QStringLiteral("-c:v"), QStringLiteral("libx265"),
                               QStringLiteral("-x265-params"), QStringLiteral("log-level=error"),
                               video("hevc.mp4")}));
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=96x64:rate=25:duration=4")) +
                   QStringList{QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p10le"),
                               video("ten-bit.mp4")}));
}

void Decode::sameFramesAsThePipe_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("fps");
    for (const int fps : {1, 7}) {
        const QByteArray rate = " at " + QByteArray::number(fps);
        QTest::newRow("variable frame rate" + rate) << QStringLiteral("vfr.mkv") << fps;
        QTest::newRow("video starting late" + rate) << QStringLiteral("late.mkv") << fps;
        QTest::newRow("size changing mid-way" + rate) << QStringLiteral("sizes.ts") << fps;
        QTest::newRow("ten bits" + rate) << QStringLiteral("ten-bit.mp4") << fps;
        QTest::newRow("HEVC" + rate) << QStringLiteral("hevc.mp4") << fps;
    }
}

void Decode::sameFramesAsThePipe()
{
    QFETCH(QString, name);
    QFETCH(int, fps);
    const QList<QImage> piped = pipedFrames(m_dir.filePath(name), fps);
    QVERIFY(piped.size() > 3);
    for (const bool skim : {false, true}) {
        DecodeFailure failure;
        DecodeCounts counts;
        const QList<QImage> decoded =
            allFrames(decodedFrames(m_dir.filePath(name), fps, skim, &failure, &counts));
        QCOMPARE(failure.reason, QString());
        QCOMPARE(decoded.size(), piped.size());
        for (qsizetype i = 0; i < piped.size(); ++i)
            QVERIFY2(decoded.at(i) == piped.at(i), qPrintable(QString::number(i)));
        // At 1 frame a second most B-frames are shown by no sample, and
        // are not decoded: the same frames all the same. (The transport
        // stream is MPEG-2 without B-frames.)
        if (fps == 1 && !name.endsWith(QLatin1String(".ts")))
            QVERIFY2(counts.framesDecoded < counts.framesInVideo * 3 / 4,
                     qPrintable(QStringLiteral("%1 of %2")
                                    .arg(counts.framesDecoded)
                                    .arg(counts.framesInVideo)));
    }
}

void Decode::skimmedCloseToThePipe_data()
{
    QTest::addColumn<QString>("graph"); // a still picture for 20 s, changed by what follows
    QTest::addColumn<int>("changeAt");  // the sampled frame that first shows the change
    QTest::addColumn<double>("tolerance");
    // Of 500; the first runs of small packets are decoded to see that they
    // stand still.
    QTest::addColumn<int>("mostDecoded");
    // Inside the stretch from 6 s to 8 s, in a packet of a few hundred bytes.
    QTest::newRow("one-line build inside a stretch of small packets")
        << QStringLiteral("drawbox=x=40:y=150:w=200:h=4:color=black:t=fill:enable='gte(t,7.4)'")
        << 7 << 0.05 << 250;
    // Just after a sample: the B-frames shown before the change, held after
    // it, still show the picture before it.
    QTest::newRow("one-line build just after a sample")
        << QStringLiteral("drawbox=x=40:y=150:w=200:h=4:color=black:t=fill:enable='gte(t,7.52)'")
        << 8 << 0.05 << 250;
    // A pointer moving for a second in small packets: the run it moves in
    // is decoded, and the skimming goes on after it.
    QTest::newRow("pointer moving for a second")
        << QStringLiteral("drawbox=x=100:y=120:w=14:h=18:color=black:t=fill:"
                          "enable='between(t,5.5,5.9)',"
                          "drawbox=x=130:y=124:w=14:h=18:color=black:t=fill:"
                          "enable='between(t,5.9,6.5)'")
        << 6 << 0.05 << 400;
    // Coded as a change of the light, in packets hardly larger than a still
    // picture's.
    QTest::newRow("fade to black")
        << QStringLiteral("fade=t=out:st=5:d=6:color=black") << 5 << 1.0 << 520;
}

void Decode::skimmedCloseToThePipe()
{
    QFETCH(QString, graph);
    QFETCH(int, changeAt);
    QFETCH(double, tolerance);
    QFETCH(int, mostDecoded);
    const QString path = video("changed.mp4");
    QVERIFY(ffmpeg(
        lavfi(QStringLiteral("testsrc2=size=320x240:rate=1/20:duration=20,fps=25,") + graph) +
        QStringList{QStringLiteral("-g"), QStringLiteral("50"), QStringLiteral("-sc_threshold"),
                    QStringLiteral("0"), path}));
    const QList<QImage> piped = pipedFrames(path, 1);
    QCOMPARE(piped.size(), 20);
    QVERIFY(meanSampleDifference(piped.at(changeAt - 1), piped.at(changeAt)) > 0.1);
    DecodeFailure failure;
    DecodeCounts counts;
    const QList<QImage> skimmed = allFrames(decodedFrames(path, 1, true, &failure, &counts));
    QCOMPARE(skimmed.size(), piped.size());
    for (qsizetype i = 0; i < piped.size(); ++i)
        QVERIFY2(meanSampleDifference(skimmed.at(i), piped.at(i)) <= tolerance,
                 qPrintable(QString::number(i)));
    QCOMPARE(counts.framesInVideo, 500);
    QVERIFY2(counts.framesDecoded <= mostDecoded,
             qPrintable(QString::number(counts.framesDecoded)));
}

void Decode::noisyVideoDecodedInFull()
{
    const QString path = video("noisy.mp4");
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=320x240:rate=1/10:duration=10,fps=25,"
                                        "noise=alls=30:allf=t")) +
                   QStringList{QStringLiteral("-g"), QStringLiteral("50"), path}));
    DecodeFailure failure;
    DecodeCounts counts;
    const QList<QImage> skimmed = allFrames(decodedFrames(path, 1, true, &failure, &counts));
    QCOMPARE(skimmed, pipedFrames(path, 1));
    QCOMPARE(counts.framesDecoded, framesDecodedWhole(path));
    QCOMPARE(counts.framesInVideo, 250);
}

// Pictures that change every 3 s, coded so that no stretch between
// keyframes can be left undecoded: skimmed, the same frames decoded as
// without skimming, and the same frames as the pipe.
void Decode::decodedInFull_data()
{
    QTest::addColumn<QString>("x264");
    // The B-frames after a keyframe are shown before it and refer to the
    // stretch before.
    QTest::newRow("open groups of pictures") << QStringLiteral("open-gop=1:bframes=3");
    // No keyframe after the first: the picture is refreshed a column at a
    // time.
    QTest::newRow("no keyframes but the first")
        << QStringLiteral("intra-refresh=1:keyint=infinite");
}

void Decode::decodedInFull()
{
    QFETCH(QString, x264);
    const QString path = video("coded.mp4");
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=320x240:rate=1/3:duration=30,fps=25")) +
                   QStringList{QStringLiteral("-g"), QStringLiteral("40"),
                               QStringLiteral("-x264-params"), x264, path}));
    DecodeFailure failure;
    DecodeCounts counts;
    const QList<QImage> skimmed = allFrames(decodedFrames(path, 1, true, &failure, &counts));
    QCOMPARE(skimmed, pipedFrames(path, 1));
    QCOMPARE(counts.framesDecoded, framesDecodedWhole(path));
}

// Dropped after its first picture, the decoding ahead of the caller stops:
// it never reaches the end of the video, where it would count its frames.
void Decode::droppedEarly()
{
    DecodeFailure failure;
    DecodeCounts counts;
    {
        const FrameSource frames =
            decodedFrames(m_dir.filePath(QStringLiteral("vfr.mkv")), 7, false, &failure, &counts);
        const std::optional<QImage> first = frames(0);
        QVERIFY(first && !first->isNull());
    }
    QCOMPARE(failure.reason, QString());
    QCOMPARE(counts.framesInVideo, 0);
}

// Bytes of garbage in the middle of a transport stream: the packets they
// spoil are passed over, skimmed or not, and the frames go on to the end.
void Decode::corruptPacketPassedOver()
{
    const QString path = video("spoilt.ts");
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=320x240:rate=1/4:duration=24,fps=25")) +
                   QStringList{QStringLiteral("-g"), QStringLiteral("50"), path}));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(file.size() / 2));
    QVERIFY(file.write(QByteArray(3000, '\x5a')) == 3000);
    file.close();
    const QList<QImage> piped = pipedFrames(path, 1);
    QCOMPARE(piped.size(), 24);
    for (const bool skim : {false, true}) {
        DecodeFailure failure;
        const QList<QImage> decoded = allFrames(decodedFrames(path, 1, skim, &failure));
        QCOMPARE(failure.reason, QString());
        QCOMPARE(decoded.size(), piped.size());
        for (qsizetype i = 0; i < piped.size(); ++i)
            QVERIFY2(meanSampleDifference(decoded.at(i), piped.at(i)) <= 1.0,
                     qPrintable(QString::number(i)));
    }
}

void Decode::unreadableInput_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QStringLiteral("missing.mp4")
                             << QStringLiteral("No such file or directory");
    QTest::newRow("sound only") << QStringLiteral("sound.m4a") << QStringLiteral("no video stream");
    QTest::newRow("not a video") << QStringLiteral("text.mp4")
                                 << QStringLiteral("Invalid data found when processing input");
    QTest::newRow("raw stream without timestamps")
        << QStringLiteral("raw.h264")
        << QStringLiteral("its frames carry no timestamps (--pipe reads it)");
}

void Decode::unreadableInput()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QVERIFY(ffmpeg(lavfi(QStringLiteral("sine=duration=1")) + QStringList{video("sound.m4a")}));
    QVERIFY(ffmpeg(lavfi(QStringLiteral("testsrc2=size=96x64:rate=25:duration=2")) +
                   QStringList{video("raw.h264")}));
    QFile text(video("text.mp4"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a video at all\n");
    text.close();
    for (const bool skim : {false, true}) {
        DecodeFailure failure;
        FrameSource frames = decodedFrames(m_dir.filePath(name), 1, skim, &failure);
        const std::optional<QImage> first = frames(0);
        QVERIFY(first && first->isNull());
        QCOMPARE(failure.reason, reason);
        // Every later call answers the same.
        const std::optional<QImage> again = frames(1);
        QVERIFY(again && again->isNull());
    }
}

QTEST_GUILESS_MAIN(Decode)
#include "tst_decode.moc"
