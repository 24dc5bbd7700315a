// Faults and bad input through the built binary: ffmpeg dying half-way,
// damaged or vanished frames, a directory that refuses a rename or cannot be
// made, awkward paths, closed standard streams, frames that change size,
// thousands of frames and option values at their edges. Every case checks
// the message, the exit status and the files left on disk.
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <memory>

namespace
{

const QRgb red = qRgb(220, 30, 30);
const QRgb green = qRgb(30, 200, 40);
const QRgb blue = qRgb(20, 40, 210);

QStringList frameNames(int count)
{
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names.append(frameName(i));
    return names;
}

QStringList slideNames(int count)
{
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names.append(QStringLiteral("slide_%1.png").arg(i, 4, 10, QLatin1Char('0')));
    return names;
}

// A shell line that fails unless `path` names the frame ffmpeg writes as
// number `number` through its pattern "$5".
QByteArray framePath(int number)
{
    return "\"$(printf -- \"$5\" " + QByteArray::number(number) + ")\"";
}

// Every path below dir, relative to it and sorted, leaving out the fake's bin.
QStringList treeOf(const QString &dir)
{
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(dir).relativeFilePath(it.next());
        if (path != QLatin1String("bin") && !path.startsWith(QLatin1String("bin/")))
            paths.append(path);
    }
    paths.sort();
    return paths;
}

// The checksum a PNG chunk ends with (CRC-32 of its type and data).
quint32 pngChecksum(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// png with the size in its header changed to width x height: a few bytes
// that claim gigabytes of pixels.
QByteArray withClaimedSize(QByteArray png, quint32 width, quint32 height)
{
    const qsizetype type = png.indexOf("IHDR");
    qToBigEndian(width, png.data() + type + 4);
    qToBigEndian(height, png.data() + type + 8);
    qToBigEndian(pngChecksum(png.mid(type, 4 + 13)), png.data() + type + 4 + 13);
    return png;
}

QString repeated(char c, int count)
{
    return QString(count, QLatin1Char(c));
}

} // namespace

class Faults : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void ffmpegKilledHalfWay();
    void truncatedLastFrame_data();
    void truncatedLastFrame();
    void frameClaimingGigabytesIsRefused();
    void frameGoneBeforeDecoding_data();
    void frameGoneBeforeDecoding();
    void outputDirectoryMadeReadOnly();
    void outputDirectoryCannotBeCreated_data();
    void outputDirectoryCannotBeCreated();
    void awkwardPathsReachFfmpegAndReport_data();
    void awkwardPathsReachFfmpegAndReport();
    void closedStandardStreams_data();
    void closedStandardStreams();
    void framesOfChangingSize_data();
    void framesOfChangingSize();
    void twelveThousandTinyFrames();
    void optionValuesAtTheEdges_data();
    void optionValuesAtTheEdges();
    void emptyOutIsTheWorkingDirectory();

  private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString out() const { return path(QStringLiteral("out")); }
    QString argvFile() const { return path(QStringLiteral("argv")); }
    // A fake ffmpeg that copies the given frames, then runs `after`.
    void fakeWritingFrames(const QList<QImage> &frames, const QByteArray &after = {});
    RunResult run(const QStringList &options = {}) const;
    RunResult runUnprivileged() const;

    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every test function
    QString m_bin;
};

void Faults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_bin = path(QStringLiteral("bin"));
}

void Faults::fakeWritingFrames(const QList<QImage> &frames, const QByteArray &after)
{
    const QString source = path(QStringLiteral("source"));
    QDir(source).removeRecursively();
    writeSourceFrames(source, frames);
    writeFakeFfmpeg(m_bin, recordArgumentsBody(argvFile()) + '\n' + copyFramesBody(source) + after);
}

RunResult Faults::run(const QStringList &options) const
{
    return runStillsift(
        QStringList{QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out")} + options,
        m_dir->path(), environmentWithPath(m_bin));
}

RunResult Faults::runUnprivileged() const
{
    return runStillsiftUnprivileged(
        {QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out")}, m_dir->path(),
        environmentWithPath(m_bin));
}

void Faults::ffmpegKilledHalfWay()
{
    // Three whole frames, half of the fourth, then the end ffmpeg meets
    // when it is killed while writing.
    const QString partial = path(QStringLiteral("partial.png"));
    writePng(partial, solidImage(16, 16, blue));
    const QByteArray whole = readFile(partial);
    const QByteArray half = whole.left(whole.size() / 2);
    writeFile(partial, half);
    fakeWritingFrames({solidImage(16, 16, red), solidImage(16, 16, red), solidImage(16, 16, green)},
                      "cp -- '" + partial.toUtf8() + "' " + framePath(4) + "\nkill -KILL $$");

    const RunResult killed = run();
    QCOMPARE(killed.exitStatus, QProcess::NormalExit);
    QCOMPARE(killed.exitCode, 1);
    QCOMPARE(killed.err, QByteArray("ffmpeg failed: ffmpeg exited with code 9\n"));
    QCOMPARE(killed.out, QByteArray());
    QCOMPARE(entriesOf(out()), frameNames(4));
    QCOMPARE(readFile(out() + QStringLiteral("/frame_000004.png")), half);

    // A later run takes the leftovers for what they are, frames of a run
    // that was cut short, and removes them before its own ffmpeg writes.
    writeFakeFfmpeg(m_bin, "exit 0");
    const RunResult again = run();
    QCOMPARE(again.exitCode, 1);
    QCOMPARE(again.err, QByteArray("no frames extracted\n"));
    QCOMPARE(again.out, QByteArray());
    QCOMPARE(entriesOf(out()), QStringList());
}

void Faults::truncatedLastFrame_data()
{
    // Where the PNG is cut: `offset` bytes after the chunk type `chunk`
    // (from the file's start when empty).
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("decodes");

    QTest::newRow("after the signature") << QByteArray() << 8 << false;
    QTest::newRow("inside the header chunk") << QByteArray("IHDR") << 6 << false;
    QTest::newRow("inside the image data") << QByteArray("IDAT") << 6 << false;
    QTest::newRow("right before the end chunk") << QByteArray("IEND") << -4 << false;
    // The picture is whole; only the end chunk's checksum is missing.
    QTest::newRow("inside the end chunk's checksum") << QByteArray("IEND") << 6 << true;
}

void Faults::truncatedLastFrame()
{
    QFETCH(QByteArray, chunk);
    QFETCH(int, offset);
    QFETCH(bool, decodes);

    fakeWritingFrames(
        {solidImage(16, 16, red), solidImage(16, 16, green), solidImage(16, 16, blue)});
    const QString last = path(QStringLiteral("source/000003.png"));
    const QByteArray png = readFile(last);
    const qsizetype cut = (chunk.isEmpty() ? 0 : png.indexOf(chunk)) + offset;
    QVERIFY(cut > 0 && cut < png.size());
    writeFile(last, png.left(cut));

    const RunResult result = run();
    if (decodes) {
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(entriesOf(out()), slideNames(3));
        return;
    }
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, QByteArray("libpng error: Read Error\n"
                                    "load out/frame_000003.png: Unable to read image data\n"));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(entriesOf(out()), frameNames(3));
    QCOMPARE(readFile(out() + QStringLiteral("/frame_000003.png")), png.left(cut));
}

void Faults::frameClaimingGigabytesIsRefused()
{
    // 30000 x 30000 pixels would take 3.6 GB; the reader refuses it before
    // allocating anything, and the run stops there like any broken frame.
    fakeWritingFrames({solidImage(8, 8, red), solidImage(8, 8, green)});
    const QString second = path(QStringLiteral("source/000002.png"));
    writeFile(second, withClaimedSize(readFile(second), 30000, 30000));

    const RunResult result = run();
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, QByteArray("load out/frame_000002.png: Unable to read image data\n"));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(entriesOf(out()), frameNames(2));
}

void Faults::frameGoneBeforeDecoding_data()
{
    QTest::addColumn<QByteArray>("after"); // what happens to frame 2 once written
    QTest::addColumn<bool>("unprivileged");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QStringList>("left");

    // Qt's image reader calls every file it cannot open "not found".
    QTest::newRow("made unreadable") << QByteArray("chmod 000 " + framePath(2)) << true
                                     << QByteArray("load out/frame_000002.png: File not found\n")
                                     << QByteArray() << frameNames(3);
    // A name that no longer leads to a file is not a frame: the run goes on
    // without it and leaves the link alone.
    QTest::newRow("replaced by a dangling symbolic link")
        << QByteArray("rm -f -- " + framePath(2) + " && ln -s gone " + framePath(2)) << false
        << QByteArray()
        << lines({QStringLiteral("00:00:00 - 00:00:00\tout/slide_0001.png"),
                  QStringLiteral("00:00:01 - 00:00:01\tout/slide_0002.png")})
        << QStringList{frameName(2), QStringLiteral("slide_0001.png"),
                       QStringLiteral("slide_0002.png")};
}

void Faults::frameGoneBeforeDecoding()
{
    QFETCH(QByteArray, after);
    QFETCH(bool, unprivileged);
    QFETCH(QByteArray, error);
    QFETCH(QByteArray, report);
    QFETCH(QStringList, left);

    if (unprivileged && !canRunUnprivileged())
        QSKIP("running as root without a way to switch to an unprivileged user");
    fakeWritingFrames({solidImage(8, 8, red), solidImage(8, 8, green), solidImage(8, 8, blue)},
                      after);
    const RunResult result = unprivileged ? runUnprivileged() : run();
    QCOMPARE(result.err, error);
    QCOMPARE(result.exitCode, error.isEmpty() ? 0 : 1);
    QCOMPARE(result.out, report);
    QCOMPARE(entriesOf(out()), left);
}

void Faults::outputDirectoryMadeReadOnly()
{
    if (!canRunUnprivileged())
        QSKIP("running as root without a way to switch to an unprivileged user");
    QVERIFY(QDir().mkpath(out()));
    writeFile(out() + QStringLiteral("/slide_0001.png"), "an earlier run's slide");
    fakeWritingFrames({solidImage(8, 8, red), solidImage(8, 8, red), solidImage(8, 8, green)},
                      "chmod a-w \"$(dirname \"$5\")\"");

    const RunResult result = runUnprivileged();
    QVERIFY(QFile::setPermissions(out(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err,
             QByteArray("failed to rename out/frame_000001.png to out/slide_0001.png\n"));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(entriesOf(out()), frameNames(3) << QStringLiteral("slide_0001.png"));
    QCOMPARE(readFile(out() + QStringLiteral("/slide_0001.png")),
             QByteArray("an earlier run's slide"));
    QCOMPARE(QImage(out() + QStringLiteral("/frame_000003.png")).pixel(0, 0), green);
}

void Faults::outputDirectoryCannotBeCreated_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<bool>("unprivileged");
    QTest::addColumn<QStringList>("created"); // what the attempt leaves, besides bin

    const QString tooLong = repeated('x', 256);
    QTest::newRow("a component of 256 bytes")
        << QStringLiteral("a/b/") + tooLong + QStringLiteral("/c") << false
        << QStringList{QStringLiteral("a"), QStringLiteral("a/b")};
    QString deep = repeated('z', 200);
    for (int i = 0; i < 24; ++i)
        deep += QLatin1Char('/') + repeated('z', 200);
    QTest::newRow("a path of 5024 bytes") << deep << false << QStringList();
    QTest::newRow("below a file below a directory")
        << QStringLiteral("d/file/sub") << false << QStringList{QStringLiteral("d")};
    QTest::newRow("inside a directory without write permission")
        << QStringLiteral("locked/sub") << true << QStringList{QStringLiteral("locked")};
}

void Faults::outputDirectoryCannotBeCreated()
{
    QFETCH(QString, dir);
    QFETCH(bool, unprivileged);
    QFETCH(QStringList, created);

    if (unprivileged && !canRunUnprivileged())
        QSKIP("running as root without a way to switch to an unprivileged user");
    QVERIFY(QDir().mkpath(path(QStringLiteral("d"))));
    writeFile(path(QStringLiteral("d/file")), "plain");
    QVERIFY(QDir().mkpath(path(QStringLiteral("locked"))));
    writeFakeFfmpeg(m_bin, recordArgumentsBody(argvFile()));
    // Writable for no one; only root would get in regardless.
    QVERIFY(QFile::setPermissions(path(QStringLiteral("locked")),
                                  QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                      QFile::ExeOther));

    const QStringList arguments{QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=") + dir};
    const RunResult result =
        unprivileged
            ? runStillsiftUnprivileged(arguments, m_dir->path(), environmentWithPath(m_bin))
            : runStillsift(arguments, m_dir->path(), environmentWithPath(m_bin));
    QFile::setPermissions(path(QStringLiteral("locked")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(
        result.err,
        QStringLiteral("Failed to create output directory: %1\n").arg(dir).toUtf8());
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(!QFile::exists(argvFile()), "ffmpeg must not be started");
    QStringList left = created + QStringList{QStringLiteral("d"), QStringLiteral("d/file"),
                                             QStringLiteral("locked")};
    left.removeDuplicates();
    left.sort();
    QCOMPARE(treeOf(m_dir->path()), left);
}

void Faults::awkwardPathsReachFfmpegAndReport_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("pattern"); // the fifth argument ffmpeg gets

    const QString frames = QStringLiteral("/frame_%06d.png");
    QTest::newRow("spaces and quotes")
        << QStringLiteral("my \"best\" talk's.mp4") << QStringLiteral("out dir/it's \"here\"")
        << QStringLiteral("out dir/it's \"here\"") + frames;
    QTest::newRow("non-ASCII letters")
        << QStringLiteral("vortrag-über-Ærø-日本.mp4") << QStringLiteral("Folien ä/スライド")
        << QStringLiteral("Folien ä/スライド") + frames;
    QTest::newRow("leading dash") << QStringLiteral("-x.mp4") << QStringLiteral("-dir")
                                  << QStringLiteral("-dir") + frames;
    QTest::newRow("percent signs, doubled in the pattern only")
        << QStringLiteral("100%d %s.mp4") << QStringLiteral("50%d %s %%off")
        << QStringLiteral("50%%d %%s %%%%off") + frames;
    QTest::newRow("all at once") << QStringLiteral("-a \"b\" 'c' ü 5%.mp4")
                                 << QStringLiteral("-d \"e\" 'f' ö %06d")
                                 << QStringLiteral("-d \"e\" 'f' ö %%06d") + frames;
    QTest::newRow("a component of 255 bytes")
        << QStringLiteral("talk.mp4") << repeated('y', 255) << repeated('y', 255) + frames;
}

void Faults::awkwardPathsReachFfmpegAndReport()
{
    QFETCH(QString, input);
    QFETCH(QString, dir);
    QFETCH(QString, pattern);

    fakeWritingFrames({solidImage(8, 8, red), solidImage(8, 8, green)});
    const RunResult result =
        runStillsift({QStringLiteral("--input=") + input, QStringLiteral("--out=") + dir},
                     m_dir->path(), environmentWithPath(m_bin));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(recordedArguments(argvFile()),
             (QStringList{QStringLiteral("-i"), input, QStringLiteral("-vf"),
                          QStringLiteral("fps=1"), pattern}));
    QCOMPARE(
        result.out,
        lines({QStringLiteral("00:00:00 - 00:00:00\t") + dir + QStringLiteral("/slide_0001.png"),
               QStringLiteral("00:00:01 - 00:00:01\t") + dir + QStringLiteral("/slide_0002.png")}));
    QCOMPARE(entriesOf(path(dir)), slideNames(2));
    QCOMPARE(QImage(path(dir) + QStringLiteral("/slide_0002.png")).pixel(0, 0), green);
}

void Faults::closedStandardStreams_data()
{
    QTest::addColumn<QString>("redirect");
    QTest::addColumn<bool>("framesWritten");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("standard input closed") << QStringLiteral("<&-") << true << QByteArray("0\n");
    QTest::newRow("standard input at its end")
        << QStringLiteral("</dev/null") << true << QByteArray("0\n");
    // Read by anyone to its end, it would never end.
    QTest::newRow("standard input endless")
        << QStringLiteral("</dev/zero") << true << QByteArray("0\n");
    QTest::newRow("standard error closed") << QStringLiteral("2>&-") << true << QByteArray("0\n");
    QTest::newRow("standard error closed, failing run")
        << QStringLiteral("2>&-") << false << QByteArray("1\n");
    QTest::newRow("all three closed")
        << QStringLiteral("<&- >&- 2>&-") << true << QByteArray("0\n");
    QTest::newRow("all three closed, failing run")
        << QStringLiteral("<&- >&- 2>&-") << false << QByteArray("1\n");
}

void Faults::closedStandardStreams()
{
    QFETCH(QString, redirect);
    QFETCH(bool, framesWritten);
    QFETCH(QByteArray, status);

    // The fake talks on its standard error and reads its standard input to
    // the end, as ffmpeg can; closed streams of the tool must hurt neither.
    const QByteArray chatty = "echo 'ffmpeg talking' >&2\ncat >/dev/null\n";
    if (framesWritten)
        fakeWritingFrames({solidImage(8, 8, red), solidImage(8, 8, green)}, chatty);
    else
        writeFakeFfmpeg(m_bin, chatty);
    QCOMPARE(runStillsiftRedirected(QStringLiteral("--input talk.mp4 --out out"), redirect,
                                    m_dir->path(), environmentWithPath(m_bin)),
             status);
    QCOMPARE(entriesOf(out()), framesWritten ? slideNames(2) : QStringList());
}

void Faults::framesOfChangingSize_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QList<QSize>>("slideSizes");

    // All one colour: only the size changes, and every size change counts.
    QTest::newRow("slide mode") << QStringList()
                                << lines(
                                       {QStringLiteral("00:00:00 - 00:00:01\tout/slide_0001.png"),
                                        QStringLiteral("00:00:02 - 00:00:03\tout/slide_0002.png"),
                                        QStringLiteral("00:00:04 - 00:00:04\tout/slide_0003.png"),
                                        QStringLiteral("00:00:05 - 00:00:06\tout/slide_0004.png")})
                                << QList<QSize>{{8, 8}, {16, 8}, {8, 8}, {8, 16}};
    QTest::newRow("video mode") << QStringList{QStringLiteral("--video-changes=0"),
                                               QStringLiteral("--video-window=2")}
                                << lines(
                                       {QStringLiteral("00:00:00 - 00:00:01\tout/slide_0001.png"),
                                        QStringLiteral("00:00:02 - 00:00:03\tout/slide_0002.png"),
                                        QStringLiteral("00:00:04 - 00:00:04\tvideo0001"),
                                        QStringLiteral("00:00:05 - 00:00:06\tout/slide_0003.png")})
                                << QList<QSize>{{8, 8}, {16, 8}, {8, 16}};
}

void Faults::framesOfChangingSize()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, report);
    QFETCH(QList<QSize>, slideSizes);

    QList<QImage> frames;
    for (const QSize size : {QSize(8, 8), QSize(8, 8), QSize(16, 8), QSize(16, 8), QSize(8, 8),
                             QSize(8, 16), QSize(8, 16)})
        frames.append(solidImage(size.width(), size.height(), red));
    fakeWritingFrames(frames);

    const RunResult result = run(options);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, report);
    const QStringList slides = slideNames(int(slideSizes.size()));
    QCOMPARE(entriesOf(out()), slides);
    for (int i = 0; i < slides.size(); ++i)
        QCOMPARE(QImage(out() + QLatin1Char('/') + slides.at(i)).size(), slideSizes.at(i));
}

void Faults::twelveThousandTinyFrames()
{
    // Every frame its own colour; a threshold above any score makes every
    // frame a change, and the video mode is kept out of reach.
    const int count = 12000;
    QVERIFY(QDir().mkpath(out()));
    const auto colour = [](int index) { return qRgb(index % 256, index / 256 % 256, 7); };
    for (int i = 0; i < count; ++i)
        writePng(out() + QLatin1Char('/') + frameName(i + 1), solidImage(4, 4, colour(i)));
    fakeFfmpegWritingFramesIn(out(), m_bin);

    QElapsedTimer timer;
    timer.start();
    const RunResult result =
        run({QStringLiteral("--threshold=2"), QStringLiteral("--video-changes=2147483647")});
    qInfo("%d frames of 4 x 4 pixels took %lld ms", count, timer.elapsed());
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    const QList<QByteArray> report = result.out.split('\n');
    QCOMPARE(report.size(), count + 1);
    QCOMPARE(report.at(9998), QByteArray("02:46:38 - 02:46:38\tout/slide_9999.png"));
    QCOMPARE(report.at(9999), QByteArray("02:46:39 - 02:46:39\tout/slide_10000.png"));
    QCOMPARE(report.at(count - 1), QByteArray("03:19:59 - 03:19:59\tout/slide_12000.png"));

    QStringList names = entriesOf(out());
    QStringList expected = slideNames(count);
    names.sort();
    expected.sort();
    QCOMPARE(names, expected);
    QCOMPARE(QImage(out() + QStringLiteral("/slide_10000.png")).pixel(0, 0), colour(9999));
    QCOMPARE(QImage(out() + QStringLiteral("/slide_9999.png")).pixel(0, 0), colour(9998));
}

void Faults::optionValuesAtTheEdges_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<int>("slides");

    // Frames red, green, green, blue.
    const QByteArray fourSlides =
        lines({QStringLiteral("00:00:00 - 00:00:00\tout/slide_0001.png"),
               QStringLiteral("00:00:01 - 00:00:01\tout/slide_0002.png"),
               QStringLiteral("00:00:02 - 00:00:02\tout/slide_0003.png"),
               QStringLiteral("00:00:03 - 00:00:03\tout/slide_0004.png")});
    const QByteArray oneSlide = lines({QStringLiteral("00:00:00 - 00:00:03\tout/slide_0001.png")});
    // Changes at frames 1 and 3 lie within a window of fps x seconds
    // frames only if that product is not cut to 32 bits (where it is 1).
    QTest::newRow("fps and video-window at the int maximum")
        << QStringList{QStringLiteral("--fps=2147483647"),
                       QStringLiteral("--video-window=2147483647"),
                       QStringLiteral("--video-changes=1")}
        << QByteArray()
        << lines({QStringLiteral("00:00:00 - 00:00:00\tout/slide_0001.png"),
                  QStringLiteral("00:00:00 - 00:00:00\tvideo0001")})
        << 1;
    for (const char *value : {"nan", "inf", "1e308"})
        QTest::addRow("threshold %s: every frame is a change", value)
            << QStringList{QStringLiteral("--threshold=") + QLatin1String(value)} << QByteArray()
            << fourSlides << 4;
    for (const char *value : {"-inf", "-1e308"})
        QTest::addRow("threshold %s: no frame is a change", value)
            << QStringList{QStringLiteral("--threshold=") + QLatin1String(value)} << QByteArray()
            << oneSlide << 1;
    // Out of a double's range either way: the conversion fails.
    for (const char *value : {"1e309", "-1e309", "1e-400"})
        QTest::addRow("threshold %s", value)
            << QStringList{QStringLiteral("--threshold=") + QLatin1String(value)}
            << QByteArray("Invalid threshold value\n") << QByteArray() << 0;
}

void Faults::optionValuesAtTheEdges()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, error);
    QFETCH(QByteArray, report);
    QFETCH(int, slides);

    fakeWritingFrames({solidImage(4, 4, red), solidImage(4, 4, green), solidImage(4, 4, green),
                       solidImage(4, 4, blue)});
    const RunResult result = run(options);
    QCOMPARE(result.err, error);
    QCOMPARE(result.exitCode, error.isEmpty() ? 0 : 1);
    QCOMPARE(result.out, report);
    QCOMPARE(entriesOf(out()), slideNames(slides));
    if (error.isEmpty()) {
        const QString fps = options.filter(QStringLiteral("--fps=")).value(0).mid(6);
        QCOMPARE(recordedArguments(argvFile()).value(3),
                 QStringLiteral("fps=") + (fps.isEmpty() ? QStringLiteral("1") : fps));
    } else {
        QVERIFY2(!QFile::exists(argvFile()), "ffmpeg must not run after a rejected option");
    }
}

void Faults::emptyOutIsTheWorkingDirectory()
{
    // An empty --out names the working directory: the frames go there, as
    // "./frame_%06d.png", and the report names "./slide_0001.png".
    fakeWritingFrames({solidImage(8, 8, red), solidImage(8, 8, red)});
    const RunResult result = run({QStringLiteral("--out=")});
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(recordedArguments(argvFile()).value(4), QStringLiteral("./frame_%06d.png"));
    QCOMPARE(result.out, lines({QStringLiteral("00:00:00 - 00:00:01\t./slide_0001.png")}));
    QCOMPARE(entriesOf(m_dir->path()),
             (QStringList{QStringLiteral("argv"), QStringLiteral("bin"),
                          QStringLiteral("slide_0001.png"), QStringLiteral("source")}));
}

QTEST_GUILESS_MAIN(Faults)
#include "tst_faults.moc"
