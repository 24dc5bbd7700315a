// Finding and decoding the frames, through the built binary: which files
// count as frames, their order, and a frame that cannot be decoded.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace
{

const QRgb red = qRgb(220, 30, 30);
const QRgb green = qRgb(30, 200, 40);
const QRgb blue = qRgb(20, 40, 210);

} // namespace

class Listing : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void onlyFrameFilesCountAndInNameOrder();
    void noFramesExtracted_data();
    void noFramesExtracted();
    void undecodableFrameStopsBeforeAnyChange_data();
    void undecodableFrameStopsBeforeAnyChange();

  private:
    QString out(const QString &name = QString()) const
    {
        return name.isEmpty() ? m_dir->filePath(QStringLiteral("out"))
                              : m_dir->filePath(QStringLiteral("out/") + name);
    }
    RunResult run() const
    {
        return runStillsift({QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out")},
                            m_dir->path(),
                            environmentWithPath(m_dir->filePath(QStringLiteral("bin"))));
    }

    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every test function
};

void Listing::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(out()));
}

void Listing::onlyFrameFilesCountAndInNameOrder()
{
    // Upper-case names match too; the rest is left alone.
    writePng(out(QStringLiteral("FRAME_000001.PNG")), solidImage(8, 8, red));
    writePng(out(QStringLiteral("frame_000002.png")), solidImage(8, 8, red));
    writePng(out(QStringLiteral("frame_000003.png")), solidImage(8, 8, green));
    QVERIFY(QDir().mkpath(out(QStringLiteral("frame_000004.png"))));
    writePng(out(QStringLiteral("other.png")), solidImage(8, 8, blue));
    writeFile(out(QStringLiteral("frame_notes.txt")), "notes");
    writeFile(out(QStringLiteral("slide_0007.png")), "old slide");
    fakeFfmpegWritingFramesIn(out(), m_dir->filePath(QStringLiteral("bin")));

    const RunResult result = run();
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    // "FRAME_..." sorts before "frame_...": plain character order.
    QCOMPARE(result.out, lines({QStringLiteral("00:00:00 - 00:00:01\tout/slide_0001.png"),
                                QStringLiteral("00:00:02 - 00:00:02\tout/slide_0002.png")}));
    QCOMPARE(entriesOf(out()),
             (QStringList{QStringLiteral("frame_000004.png"), QStringLiteral("frame_notes.txt"),
                          QStringLiteral("other.png"), QStringLiteral("slide_0001.png"),
                          QStringLiteral("slide_0002.png"), QStringLiteral("slide_0007.png")}));
    QCOMPARE(readFile(out(QStringLiteral("slide_0007.png"))), QByteArray("old slide"));
    QCOMPARE(QImage(out(QStringLiteral("slide_0002.png"))).pixel(0, 0), green);
}

void Listing::noFramesExtracted_data()
{
    QTest::addColumn<QByteArray>("ffmpeg");
    QTest::addColumn<QStringList>("present");

    QTest::newRow("ffmpeg wrote nothing") << QByteArray("exit 0") << QStringList();
    QTest::newRow("only files that are not frames")
        << QByteArray("touch \"$(dirname \"$5\")/frame_.txt\" \"$(dirname \"$5\")/slide_0001.png\"")
        << QStringList{QStringLiteral("frame_.txt"), QStringLiteral("slide_0001.png")};
    QTest::newRow("a directory named like a frame")
        << QByteArray("mkdir \"$(dirname \"$5\")/frame_000001.png\"")
        << QStringList{QStringLiteral("frame_000001.png")};
}

void Listing::noFramesExtracted()
{
    QFETCH(QByteArray, ffmpeg);
    QFETCH(QStringList, present);

    writeFakeFfmpeg(m_dir->filePath(QStringLiteral("bin")), ffmpeg);
    const RunResult result = run();
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, QByteArray("no frames extracted\n"));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(entriesOf(out()), present);
}

void Listing::undecodableFrameStopsBeforeAnyChange_data()
{
    QTest::addColumn<int>("badFrame");
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("zero bytes, first frame") << 1 << QByteArray();
    QTest::newRow("zero bytes, middle frame") << 3 << QByteArray();
    QTest::newRow("not an image, last frame") << 5 << QByteArray("this is not a PNG");
    QTest::newRow("a PNG cut short") << 4 << QByteArray("cut");
}

void Listing::undecodableFrameStopsBeforeAnyChange()
{
    QFETCH(int, badFrame);
    QFETCH(QByteArray, content);

    const QList<QRgb> colours = {red, red, green, blue, blue};
    QStringList names;
    for (int i = 0; i < colours.size(); ++i) {
        names.append(frameName(i + 1));
        writePng(out(names.last()), solidImage(16, 16, colours.at(i)));
    }
    const QString bad = out(names.at(badFrame - 1));
    if (content == "cut") {
        const QByteArray png = readFile(bad);
        content = png.left(png.size() / 2);
    }
    writeFile(bad, content);
    // A later frame that is also broken must not be the one reported.
    if (badFrame < colours.size())
        writeFile(out(names.last()), "also broken");
    fakeFfmpegWritingFramesIn(out(), m_dir->filePath(QStringLiteral("bin")));

    const RunResult result = run();
    QCOMPARE(result.exitCode, 1);
    // libpng writes its own "libpng error: ..." line for a damaged PNG
    // straight to standard error; the tool's message is the last line.
    QList<QByteArray> errLines = result.err.split('\n');
    QCOMPARE(errLines.takeLast(), QByteArray());
    const QByteArray message = errLines.takeLast();
    for (const QByteArray &line : errLines)
        QVERIFY2(line.startsWith("libpng error: "), line.constData());
    const QByteArray prefix = "load out/" + names.at(badFrame - 1).toUtf8() + ": ";
    QVERIFY2(message.startsWith(prefix), message.constData());
    QVERIFY(message.size() > prefix.size());
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(entriesOf(out()), names);
}

QTEST_GUILESS_MAIN(Listing)
#include "tst_listing.moc"
