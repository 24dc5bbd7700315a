// Peak memory of whole runs through the built binary does not grow with the
// number of frames, whichever way the frames come: frame files are decoded a
// bounded number ahead and their buffers reused, and the pipe's reader stays
// a few frames ahead of the walk while ffmpeg waits on a full pipe.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const int width = 640;
const int height = 360;

} // namespace

class Memory : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void peakDoesNotGrowWithTheNumberOfFrames_data();
    void peakDoesNotGrowWithTheNumberOfFrames();

  private:
    // Runs stillsift on frameCount frames, a new picture every
    // framesPerSlide frames, checks that it made one slide per picture, and
    // returns the run's peak resident size in KiB.
    long peakOfRun(int frameCount, int framesPerSlide, bool pipe);

    QTemporaryDir m_dir;
};

void Memory::initTestCase()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers keep freed memory in quarantine, so the peak grows with
    // the work done whatever the program holds.
    QSKIP("peak memory means nothing under a sanitizer");
#endif
    QVERIFY(m_dir.isValid());
    for (int k = 0; k < 4; ++k) {
        QImage picture = solidImage(width, height, qRgb(60 * k, 200 - 40 * k, 90));
        QPainter(&picture).fillRect(40 + 100 * k, 60, 200, 120, Qt::white);
        writePng(m_dir.filePath(QStringLiteral("picture%1.png").arg(k)), picture);
        writeFile(m_dir.filePath(QStringLiteral("picture%1.ppm").arg(k)), ppmOf(picture));
    }
    // The frame files are laid out before the run; through the pipe the
    // frame count comes as the input's name, and every frame is a new
    // picture.
    writeFakeFfmpeg(m_dir.filePath(QStringLiteral("pipe")),
                    "while [ \"$1\" != -i ]; do shift; done\n"
                    "i=0\n"
                    "while [ $i -lt \"$2\" ]; do\n"
                    "  cat picture$((i % 4)).ppm || exit 1\n"
                    "  i=$((i + 1))\n"
                    "done\n");
}

long Memory::peakOfRun(int frameCount, int framesPerSlide, bool pipe)
{
    const QString out =
        m_dir.filePath(QStringLiteral("%1-%2-%3").arg(framesPerSlide).arg(frameCount).arg(pipe));
    QStringList arguments{QStringLiteral(STILLSIFT_BINARY_PATH), QStringLiteral("--input"),
                          QString::number(frameCount), QStringLiteral("--out"), out};
    if (pipe) {
        arguments.append(QStringLiteral("--pipe"));
    } else {
        [&] {
            QVERIFY(QDir().mkpath(out));
            for (int i = 0; i < frameCount; ++i) {
                const QString picture =
                    m_dir.filePath(QStringLiteral("picture%1.png").arg(i / framesPerSlide % 4));
                QVERIFY(QFile::copy(picture, QDir(out).filePath(frameName(i + 1))));
            }
            fakeFfmpegWritingFramesIn(out, m_dir.filePath(QStringLiteral("files")));
        }();
    }
    const QString peakFile = m_dir.filePath(QStringLiteral("peak"));
    const RunResult result = runProgram(
        QStringLiteral("/usr/bin/time"),
        QStringList{QStringLiteral("-f"), QStringLiteral("%M"), QStringLiteral("-o"), peakFile} +
            arguments,
        m_dir.path(),
        environmentWithPath(
            m_dir.filePath(pipe ? QStringLiteral("pipe") : QStringLiteral("files"))));
    [&] {
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(result.out.count('\n'), frameCount / framesPerSlide);
    }();
    return readFile(peakFile).trimmed().toLong();
}

void Memory::peakDoesNotGrowWithTheNumberOfFrames_data()
{
    QTest::addColumn<bool>("pipe");
    QTest::addColumn<int>("framesPerSlide");

    QTest::newRow("frame files") << false << 10;
    // Every frame a slide of its own (as the fake ffmpeg sends them):
    // writing slides keeps the walk slower than ffmpeg, so a reader that did
    // not wait would pile frames up.
    QTest::newRow("pipe") << true << 1;
}

void Memory::peakDoesNotGrowWithTheNumberOfFrames()
{
    QFETCH(bool, pipe);
    QFETCH(int, framesPerSlide);

    const long shortPeak = peakOfRun(50, framesPerSlide, pipe);
    const long longPeak = peakOfRun(400, framesPerSlide, pipe);
    qInfo("peak resident size: %ld KiB for 50 frames, %ld KiB for 400", shortPeak, longPeak);
    QVERIFY(shortPeak > 0);
    // Holding even a tenth of a 640 x 360 frame per frame would add 37 MB.
    QVERIFY2(longPeak < shortPeak * 3 / 2, "peak memory grows with the number of frames");
}

QTEST_GUILESS_MAIN(Memory)
#include "tst_memory.moc"
