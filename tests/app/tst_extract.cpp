// Frame extraction through the built binary: the exact arguments ffmpeg
// gets, the output directory, and every way ffmpeg can fail.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class Extraction : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void argumentsReachFfmpegUnchanged_data();
    void argumentsReachFfmpegUnchanged();
    void missingParentsAreCreatedBeforeFfmpegStarts();
    void existingDirectoryIsNotEmptied();
    void failures_data();
    void failures();
    void outputDirectoryCannotBeCreated();
    void ffmpegMissingFromPath();
    void ffmpegStandardInputIsClosed();
    void realFfmpegSamplesATinyVideo();

  private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every test function
    QString m_bin;
};

void Extraction::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_bin = path(QStringLiteral("bin"));
    QFile::remove(path(QStringLiteral("argv")));
}

void Extraction::argumentsReachFfmpegUnchanged_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("expected");

    const QString i = QStringLiteral("-i"), vf = QStringLiteral("-vf");
    QTest::newRow("fps 25") << QStringList{QStringLiteral("--input"), QStringLiteral("a.mp4"),
                                           QStringLiteral("--fps"), QStringLiteral("25")}
                            << QStringList{i, QStringLiteral("a.mp4"), vf, QStringLiteral("fps=25"),
                                           QStringLiteral("slides/frame_%06d.png")};
    QTest::newRow("fps with a leading zero is plain decimal")
        << QStringList{QStringLiteral("--input=a.mp4"), QStringLiteral("--fps=007")}
        << QStringList{i, QStringLiteral("a.mp4"), vf, QStringLiteral("fps=7"),
                       QStringLiteral("slides/frame_%06d.png")};
    QTest::newRow("spaces and quotes")
        << QStringList{QStringLiteral("--input=my \"best\" talk's.mp4"),
                       QStringLiteral("--out=out dir/it's \"here\"")}
        << QStringList{i, QStringLiteral("my \"best\" talk's.mp4"), vf, QStringLiteral("fps=1"),
                       QStringLiteral("out dir/it's \"here\"/frame_%06d.png")};
    QTest::newRow("percent is doubled in the directory only")
        << QStringList{QStringLiteral("--input=100%.mp4"), QStringLiteral("--out=50%d off")}
        << QStringList{i, QStringLiteral("100%.mp4"), vf, QStringLiteral("fps=1"),
                       QStringLiteral("50%%d off/frame_%06d.png")};
    QTest::newRow("trailing slash and non-ASCII")
        << QStringList{QStringLiteral("--input=vortrag-über.mp4"), QStringLiteral("--out=Folien/")}
        << QStringList{i, QStringLiteral("vortrag-über.mp4"), vf, QStringLiteral("fps=1"),
                       QStringLiteral("Folien/frame_%06d.png")};
}

void Extraction::argumentsReachFfmpegUnchanged()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, expected);

    writeFakeFfmpeg(m_bin, recordArgumentsBody(path(QStringLiteral("argv"))));
    runStillsift(options, m_dir->path(), environmentWithPath(m_bin));
    QCOMPARE(recordedArguments(path(QStringLiteral("argv"))), expected);
}

void Extraction::missingParentsAreCreatedBeforeFfmpegStarts()
{
    // The fake proves the directory existed when it ran.
    writeFakeFfmpeg(m_bin, "test -d \"$(dirname \"$5\")\" && touch \"$(dirname \"$5\")/seen\"");
    runStillsift({QStringLiteral("--input=a.mp4"), QStringLiteral("--out=x/y/z")}, m_dir->path(),
                 environmentWithPath(m_bin));
    QVERIFY(QFile::exists(path(QStringLiteral("x/y/z/seen"))));
}

void Extraction::existingDirectoryIsNotEmptied()
{
    QDir().mkpath(path(QStringLiteral("slides")));
    QFile keep(path(QStringLiteral("slides/notes.txt")));
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.close();
    writeFakeFfmpeg(m_bin, "exit 0");
    runStillsift({QStringLiteral("--input=a.mp4")}, m_dir->path(), environmentWithPath(m_bin));
    QCOMPARE(entriesOf(path(QStringLiteral("slides"))), QStringList{QStringLiteral("notes.txt")});
}

void Extraction::failures_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<QByteArray>("out");

    QTest::newRow("exit code 1") << QByteArray("echo ffmpeg-out; echo ffmpeg-err >&2; exit 1")
                                 << QByteArray(
                                        "ffmpeg-err\nffmpeg failed: ffmpeg exited with code 1\n")
                                 << QByteArray("ffmpeg-out\n");
    QTest::newRow("exit code 255")
        << QByteArray("exit 255") << QByteArray("ffmpeg failed: ffmpeg exited with code 255\n")
        << QByteArray();
    // A crash is a failure whatever code is reported; QProcess reports the signal.
    QTest::newRow("killed by SIGKILL")
        << QByteArray("kill -KILL $$") << QByteArray("ffmpeg failed: ffmpeg exited with code 9\n")
        << QByteArray();
    QTest::newRow("killed by SIGSEGV")
        << QByteArray("kill -SEGV $$") << QByteArray("ffmpeg failed: ffmpeg exited with code 11\n")
        << QByteArray();
}

void Extraction::failures()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, error);
    QFETCH(QByteArray, out);

    writeFakeFfmpeg(m_bin, body);
    const RunResult result =
        runStillsift({QStringLiteral("--input=a.mp4")}, m_dir->path(), environmentWithPath(m_bin));
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, error);
    QCOMPARE(result.out, out);
}

void Extraction::outputDirectoryCannotBeCreated()
{
    QFile file(path(QStringLiteral("plain")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    writeFakeFfmpeg(m_bin, recordArgumentsBody(path(QStringLiteral("argv"))));
    const RunResult result =
        runStillsift({QStringLiteral("--input=a.mp4"), QStringLiteral("--out=plain/sub")},
                     m_dir->path(), environmentWithPath(m_bin));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err,
             QByteArray("Failed to create output directory: plain/sub\n"));
    QVERIFY2(!QFile::exists(path(QStringLiteral("argv"))), "ffmpeg must not be started");
}

void Extraction::ffmpegMissingFromPath()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), path(QStringLiteral("empty")));
    const RunResult result =
        runStillsift({QStringLiteral("--input=a.mp4")}, m_dir->path(), environment);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.startsWith("ffmpeg failed: Failed to run ffmpeg: "),
             result.err.constData());
    QVERIFY(result.err.endsWith("\n"));
    QCOMPARE(result.err.count('\n'), 1);
    QVERIFY(result.err.size() > qsizetype(sizeof("ffmpeg failed: Failed to run ffmpeg: ")));
}

void Extraction::ffmpegStandardInputIsClosed()
{
    // A child that reads its standard input, as ffmpeg does for "-i -" or
    // when it asks a question, must see end of input rather than wait.
    writeFakeFfmpeg(m_bin, "cat > /dev/null; exit 3");
    const RunResult result =
        runStillsift({QStringLiteral("--input=-")}, m_dir->path(), environmentWithPath(m_bin));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, QByteArray("ffmpeg failed: ffmpeg exited with code 3\n"));
}

void Extraction::realFfmpegSamplesATinyVideo()
{
    const QString video = path(QStringLiteral("tiny.mp4"));
    QProcess make;
    make.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    make.start(QStringLiteral("ffmpeg"),
               {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                QStringLiteral("color=c=blue:s=64x48:d=3:r=10"), QStringLiteral("-pix_fmt"),
                QStringLiteral("yuv420p"), video});
    QVERIFY(make.waitForFinished(60000));
    QCOMPARE(make.exitCode(), 0);

    const RunResult result = runStillsift(
        {QStringLiteral("--input"), video, QStringLiteral("--out"), path(QStringLiteral("frames"))},
        m_dir->path(), QProcessEnvironment::systemEnvironment());
    QCOMPARE(result.exitCode, 0);
    // One still picture: one slide, every other sampled frame gone.
    QCOMPARE(entriesOf(path(QStringLiteral("frames"))),
             QStringList{QStringLiteral("slide_0001.png")});
    QVERIFY2(result.out.startsWith("00:00:00 - 00:00:0"), result.out.constData());
    QVERIFY(
        result.out.endsWith("\t" + path(QStringLiteral("frames/slide_0001.png")).toUtf8() + "\n"));
    QCOMPARE(result.out.count('\n'), 1);
}

QTEST_GUILESS_MAIN(Extraction)
#include "tst_extract.moc"
