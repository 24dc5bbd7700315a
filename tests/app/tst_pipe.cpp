// --pipe through the built binary: on talks made with the real ffmpeg it
// gives the default run's report and slide pictures; fake ffmpeg scripts
// that fail, die or send damaged pictures, slides that cannot be written and
// closed standard streams each end it cleanly, with whole slides only.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <unistd.h>

#include <memory>

namespace
{

const QRgb red = qRgb(220, 30, 30);
const QRgb green = qRgb(30, 200, 40);
const QRgb blue = qRgb(20, 40, 210);

QImage decoded(const QString &path)
{
    QImageReader reader(path, QByteArray());
    return reader.read();
}

QStringList slideNames(int count)
{
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names.append(QStringLiteral("slide_%1.png").arg(i, 4, 10, QLatin1Char('0')));
    return names;
}

// A talk made of `pictures` stills of 3 s (test pattern pictures, colour
// everywhere), 4 s of moving pattern and 3 s of colour bars, in the given
// size and pixel format.
bool makeTalk(const QString &path, const QString &size, const QString &pixelFormat)
{
    const QString pattern = QStringLiteral("testsrc2=size=%1:rate=1/3:duration=9,fps=25").arg(size);
    const QString moving = QStringLiteral("testsrc2=size=%1:rate=25:duration=4").arg(size);
    const QString bars = QStringLiteral("smptehdbars=size=%1:rate=25:duration=3").arg(size);
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                  QStringLiteral("-y"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                  QStringLiteral("-i"), pattern, QStringLiteral("-f"), QStringLiteral("lavfi"),
                  QStringLiteral("-i"), moving, QStringLiteral("-f"), QStringLiteral("lavfi"),
                  QStringLiteral("-i"), bars, QStringLiteral("-filter_complex"),
                  // testsrc2 rounds sizes down to even ones; scaled back here.
                  QStringLiteral("[0:v]scale=size=%1,setsar=1[a];[1:v]scale=size=%1,setsar=1[b];"
                                 "[2:v]setsar=1[c];[a][b][c]concat=n=3:v=1:a=0,format=%2[v]")
                      .arg(size, pixelFormat),
                  QStringLiteral("-map"), QStringLiteral("[v]"), QStringLiteral("-c:v"),
                  QStringLiteral("libx264"), QStringLiteral("-crf"), QStringLiteral("23"), path});
    return ffmpeg.waitForFinished(120000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
           ffmpeg.exitCode() == 0;
}

} // namespace

class Pipe : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void sameResultAsTheFrameFiles_data();
    void sameResultAsTheFrameFiles();
    void ffmpegAndItsOutputFailing_data();
    void ffmpegAndItsOutputFailing();
    void ffmpegMissingAsInTheDefaultRun();
    void slideCannotBeWritten_data();
    void slideCannotBeWritten();
    void laterSlideCannotBeWritten();
    void closedStandardStreams_data();
    void closedStandardStreams();

  private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString out() const { return path(QStringLiteral("out")); }
    // The file "stream" that the fakes send with "cat stream": the pictures
    // as PPM, then `rest` (raw bytes).
    void writeStream(const QList<QImage> &pictures, const QByteArray &rest = {});
    RunResult run(const QStringList &options = {}) const;

    QTemporaryDir m_talks;                // the talks of the comparison, made once
    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every test function
    QString m_bin;
};

void Pipe::initTestCase()
{
    QVERIFY(m_talks.isValid());
    QVERIFY(makeTalk(m_talks.filePath(QStringLiteral("even.mp4")), QStringLiteral("320x240"),
                     QStringLiteral("yuv420p")));
    // 4:2:0 needs even sizes; 4:4:4 takes any.
    QVERIFY(makeTalk(m_talks.filePath(QStringLiteral("odd.mp4")), QStringLiteral("161x91"),
                     QStringLiteral("yuv444p")));
    // 16-bit PNG frames, and 16 bits per sample down the pipe.
    QVERIFY(makeTalk(m_talks.filePath(QStringLiteral("ten-bit.mp4")), QStringLiteral("160x90"),
                     QStringLiteral("yuv420p10le")));
}

void Pipe::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_bin = path(QStringLiteral("bin"));
}

void Pipe::writeStream(const QList<QImage> &pictures, const QByteArray &rest)
{
    QByteArray stream;
    for (const QImage &picture : pictures)
        stream += ppmOf(picture);
    writeFile(path(QStringLiteral("stream")), stream + rest);
}

RunResult Pipe::run(const QStringList &options) const
{
    return runStillsift(QStringList{QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out"),
                                    QStringLiteral("--pipe")} +
                            options,
                        m_dir->path(), environmentWithPath(m_bin));
}

void Pipe::sameResultAsTheFrameFiles_data()
{
    QTest::addColumn<QString>("talk");
    QTest::addColumn<QStringList>("options");

    for (const char *talk : {"even.mp4", "odd.mp4", "ten-bit.mp4"}) {
        const QString name = QLatin1String(talk);
        QTest::addRow("%s, defaults", talk) << name << QStringList();
        QTest::addRow("%s, --fps 2", talk) << name << QStringList{QStringLiteral("--fps=2")};
        QTest::addRow("%s, every change is video", talk)
            << name << QStringList{QStringLiteral("--video-changes=0")};
        QTest::addRow("%s, nearly every frame a slide", talk)
            << name << QStringList{QStringLiteral("--threshold=0.9999")};
        QTest::addRow("%s, robust detector", talk)
            << name << QStringList{QStringLiteral("--detector=robust")};
    }
}

void Pipe::sameResultAsTheFrameFiles()
{
    QFETCH(QString, talk);
    QFETCH(QStringList, options);

    // One relative --out in two working directories: the reports name the
    // same paths.
    const QStringList arguments = QStringList{QStringLiteral("--input"), m_talks.filePath(talk),
                                              QStringLiteral("--out"), QStringLiteral("slides")} +
                                  options;
    const QString files = path(QStringLiteral("files"));
    const QString piped = path(QStringLiteral("piped"));
    QVERIFY(QDir().mkpath(files) && QDir().mkpath(piped));
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const RunResult expected = runStillsift(arguments, files, environment);
    const RunResult result =
        runStillsift(arguments + QStringList{QStringLiteral("--pipe")}, piped, environment);

    // Standard error holds ffmpeg's own account of its work, which names the
    // encoder; nothing of stillsift's.
    QCOMPARE(expected.exitCode, 0);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, expected.out);
    const QStringList slides = entriesOf(files + QStringLiteral("/slides"));
    QVERIFY(!slides.isEmpty());
    QCOMPARE(entriesOf(piped + QStringLiteral("/slides")), slides);
    for (const QString &slide : slides) {
        const QImage fromFrames = decoded(files + QStringLiteral("/slides/") + slide);
        const QImage fromPipe = decoded(piped + QStringLiteral("/slides/") + slide);
        QCOMPARE(fromPipe.format(), fromFrames.format());
        QVERIFY2(fromPipe == fromFrames, qPrintable(slide));
    }
}

void Pipe::ffmpegAndItsOutputFailing_data()
{
    QTest::addColumn<QList<QRgb>>("colours"); // whole pictures sent first, 8 x 6 pixels
    QTest::addColumn<QByteArray>("rest");     // bytes sent after them
    QTest::addColumn<QByteArray>("after");    // what the fake does then
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<int>("slides"); // slide files written before the failure

    const QList<QRgb> redGreenBlue{red, red, green, blue};
    const QByteArray halfPicture = ppmOf(solidImage(8, 6, green)).left(40);
    QTest::newRow("ffmpeg fails after its frames")
        << redGreenBlue << QByteArray() << QByteArray("exit 3")
        << QByteArray("ffmpeg failed: ffmpeg exited with code 3\n") << 2;
    QTest::newRow("ffmpeg killed in the middle of a frame")
        << redGreenBlue << halfPicture << QByteArray("kill -KILL $$")
        << QByteArray("ffmpeg failed: ffmpeg exited with code 9\n") << 2;
    QTest::newRow("output ends in the middle of a frame")
        << redGreenBlue << halfPicture << QByteArray()
        << QByteArray("ffmpeg output unreadable: the output ends in the middle of frame 5\n") << 2;
    QTest::newRow("output ends in the middle of a header")
        << redGreenBlue << QByteArray("P6\n8 ") << QByteArray()
        << QByteArray("ffmpeg output unreadable: the output ends in the middle of frame 5\n") << 2;
    QTest::newRow("garbage instead of a picture")
        << QList<QRgb>{red, green} << QByteArray("\x89PNG\r\n\x1a\n garbage") << QByteArray()
        << QByteArray("ffmpeg output unreadable: frame 3 is not a PPM picture\n") << 1;
    QTest::newRow("letters where the width goes")
        << QList<QRgb>{} << QByteArray("P6\nwide 6\n255\n") << QByteArray()
        << QByteArray("ffmpeg output unreadable: frame 1 is not a PPM picture\n") << 0;
    // 30 GB of pixels claimed in a few bytes; followed by a few real ones.
    QTest::newRow("a header claiming 100000 x 100000 pixels")
        << QList<QRgb>{red, green} << QByteArray("P6\n100000 100000\n255\n") + QByteArray(999, 'x')
        << QByteArray()
        << QByteArray("ffmpeg output unreadable: frame 3 claims 100000x100000 pixels, more than "
                      "16384x16384\n")
        << 1;
    // Within the sides, but 2 GiB a frame at 16 bits.
    QTest::newRow("a 16-bit header claiming 16384 x 16384 pixels")
        << QList<QRgb>{red} << QByteArray("P6\n16384 16384\n65535\n") + QByteArray(999, 'x')
        << QByteArray()
        << QByteArray("ffmpeg output unreadable: frame 2 claims 16384x16384 pixels of 16 bits, "
                      "more than 768 MiB\n")
        << 0;
    QTest::newRow("a number too long to be a size")
        << QList<QRgb>{} << QByteArray("P6\n99999999999999999999 1\n255\n") << QByteArray()
        << QByteArray("ffmpeg output unreadable: frame 1 is not a PPM picture\n") << 0;
    QTest::newRow("samples of 3 bits")
        << QList<QRgb>{red} << QByteArray("P6\n1 1\n7\n\1\2\3") << QByteArray()
        << QByteArray("ffmpeg output unreadable: frame 2 is not an 8- or 16-bit PPM picture\n")
        << 0;
    QTest::newRow("no output at all (no video stream)")
        << QList<QRgb>{} << QByteArray() << QByteArray() << QByteArray("no frames extracted\n")
        << 0;
    QTest::newRow("no output, failing")
        << QList<QRgb>{} << QByteArray() << QByteArray("exit 1")
        << QByteArray("ffmpeg failed: ffmpeg exited with code 1\n") << 0;
}

void Pipe::ffmpegAndItsOutputFailing()
{
    QFETCH(QList<QRgb>, colours);
    QFETCH(QByteArray, rest);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, error);
    QFETCH(int, slides);

    QList<QImage> pictures;
    for (const QRgb colour : colours)
        pictures.append(solidImage(8, 6, colour));
    writeStream(pictures, rest);
    writeFakeFfmpeg(m_bin, "cat stream\n" + after);
    const RunResult result = run();
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.err, error);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    // Only the slides closed before the failure, each a whole picture: no
    // frame files, no temporary files.
    QCOMPARE(entriesOf(out()), slideNames(slides));
    QList<QRgb> slideColours; // one per run of equal pictures
    for (const QRgb colour : colours) {
        if (slideColours.isEmpty() || slideColours.last() != colour)
            slideColours.append(colour);
    }
    for (int i = 0; i < slides; ++i) {
        const QImage slide = decoded(out() + QLatin1Char('/') + slideNames(slides).at(i));
        QCOMPARE(slide.size(), QSize(8, 6));
        QCOMPARE(slide.pixel(7, 5), slideColours.at(i));
    }
}

void Pipe::ffmpegMissingAsInTheDefaultRun()
{
    // A PATH without ffmpeg: both modes say the same.
    QVERIFY(QDir().mkpath(m_bin));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), m_bin);
    const QStringList arguments{QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out")};
    const RunResult expected = runStillsift(arguments, m_dir->path(), environment);
    const RunResult result =
        runStillsift(arguments + QStringList{QStringLiteral("--pipe")}, m_dir->path(), environment);
    QVERIFY(expected.err.startsWith("ffmpeg failed: Failed to run ffmpeg: "));
    QCOMPARE(result.err, expected.err);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(entriesOf(out()), QStringList());
}

void Pipe::slideCannotBeWritten_data()
{
    QTest::addColumn<bool>("diskFull");
    QTest::newRow("directory without write permission") << false;
    QTest::newRow("disk full") << true;
}

void Pipe::slideCannotBeWritten()
{
    QFETCH(bool, diskFull);

    QVERIFY(QDir().mkpath(out()));
    if (diskFull) {
        if (geteuid() != 0 ||
            mount("tmpfs", QFile::encodeName(out()).constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("cannot mount a small file system here");
        // Filled to the last byte: the slide cannot take one.
        QFile filler(out() + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    } else {
        if (!canRunUnprivileged())
            QSKIP("running as root without a way to switch to an unprivileged user");
        writeFile(out() + QStringLiteral("/slide_0001.png"), "an earlier run's slide");
    }
    const QStringList before = entriesOf(out());
    writeStream({solidImage(64, 48, red), solidImage(64, 48, green), solidImage(64, 48, blue)});
    writeFakeFfmpeg(m_bin, "cat stream");
    if (!diskFull)
        QVERIFY(QFile::setPermissions(out(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                                 QFile::ExeOther));

    const QStringList arguments{QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out"),
                                QStringLiteral("--pipe")};
    const RunResult result =
        diskFull ? runStillsift(arguments, m_dir->path(), environmentWithPath(m_bin))
                 : runStillsiftUnprivileged(arguments, m_dir->path(), environmentWithPath(m_bin));
    const QStringList after = entriesOf(out());
    const QByteArray earlier = readFile(out() + QStringLiteral("/slide_0001.png"));
    if (diskFull)
        QVERIFY(umount(QFile::encodeName(out()).constData()) == 0);
    else
        QFile::setPermissions(out(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, QByteArray("failed to write out/slide_0001.png: ") +
                             (diskFull ? "No space left on device\n" : "Permission denied\n"));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(after, before);
    if (!diskFull)
        QCOMPARE(earlier, QByteArray("an earlier run's slide"));
}

void Pipe::laterSlideCannotBeWritten()
{
    // Slides are written behind the walk: the second one fails (a directory
    // stands in its place), the first stays whole and no later one is
    // written, although the walk has gone on past it by then.
    QVERIFY(QDir().mkpath(out() + QStringLiteral("/slide_0002.png")));
    writeStream({solidImage(64, 48, red), solidImage(64, 48, green), solidImage(64, 48, blue),
                 solidImage(64, 48, red), solidImage(64, 48, green)});
    writeFakeFfmpeg(m_bin, "cat stream");
    const RunResult result = run();
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.startsWith("failed to write out/slide_0002.png: "), result.err);
    QCOMPARE(result.err.count('\n'), 1);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(entriesOf(out()), slideNames(2));
    QCOMPARE(decoded(out() + QStringLiteral("/slide_0001.png")), solidImage(64, 48, red));
}

void Pipe::closedStandardStreams_data()
{
    QTest::addColumn<QString>("redirect");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("standard input closed") << QStringLiteral("<&-") << QByteArray("0\n");
    QTest::newRow("standard input at its end") << QStringLiteral("</dev/null") << QByteArray("0\n");
    QTest::newRow("standard input endless") << QStringLiteral("</dev/zero") << QByteArray("0\n");
    QTest::newRow("reader of standard output gone")
        << QStringLiteral("| true") << QByteArray("0\n");
    QTest::newRow("all three closed") << QStringLiteral("<&- >&- 2>&-") << QByteArray("0\n");
}

void Pipe::closedStandardStreams()
{
    QFETCH(QString, redirect);
    QFETCH(QByteArray, status);

    // The fake talks on its standard error and reads its standard input to
    // the end, as ffmpeg can; and it waits a little before its frames, so a
    // reader that is gone is gone before the report.
    writeStream({solidImage(8, 8, red), solidImage(8, 8, green)});
    writeFakeFfmpeg(m_bin, "sleep 0.2\necho 'ffmpeg talking' >&2\ncat >/dev/null\ncat stream");
    QCOMPARE(runStillsiftRedirected(QStringLiteral("--input talk.mp4 --out out --pipe"), redirect,
                                    m_dir->path(), environmentWithPath(m_bin)),
             status);
    QCOMPARE(entriesOf(out()), slideNames(2));
    QCOMPARE(decoded(out() + QStringLiteral("/slide_0002.png")).pixel(0, 0), green);
}

QTEST_GUILESS_MAIN(Pipe)
#include "tst_pipe.moc"
