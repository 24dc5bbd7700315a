// Peak memory of whole --pipe runs through the built binary does not grow
// with the number of frames: the reader stays a few frames ahead of the walk,
// and ffmpeg waits on a full pipe meanwhile. A test program of its own, so
// that no run in another mode sets the peak it reads.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

namespace
{

const int width = 640;
const int height = 360;
// Every frame a slide of its own: writing slides keeps the walk slower than
// ffmpeg, so a reader that did not wait would pile frames up.
const int framesPerSlide = 1;

} // namespace

class PipeMemory : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void peakDoesNotGrowWithTheNumberOfFrames();

  private:
    void runOn(int frameCount);

    QTemporaryDir m_dir;
};

void PipeMemory::initTestCase()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    QSKIP("peak memory means nothing under a sanitizer");
#endif
    QVERIFY(m_dir.isValid());
    for (int k = 0; k < 4; ++k) {
        QImage picture = solidImage(width, height, qRgb(60 * k, 200 - 40 * k, 90));
        QPainter(&picture).fillRect(40 + 100 * k, 60, 200, 120, Qt::white);
        writeFile(m_dir.filePath(QStringLiteral("picture%1.ppm").arg(k)), ppmOf(picture));
    }
    // The frame count comes as the input's name; a new picture every
    // framesPerSlide frames.
    writeFakeFfmpeg(m_dir.filePath(QStringLiteral("bin")), "i=0\n"
                                                           "while [ $i -lt \"$2\" ]; do\n"
                                                           "  cat picture$((i / " +
                                                               QByteArray::number(framesPerSlide) +
                                                               " % 4)).ppm || exit 1\n"
                                                               "  i=$((i + 1))\n"
                                                               "done\n");
}

void PipeMemory::runOn(int frameCount)
{
    const QString out = m_dir.filePath(QStringLiteral("out%1").arg(frameCount));
    const RunResult result =
        runStillsift({QStringLiteral("--input"), QString::number(frameCount),
                      QStringLiteral("--out"), out, QStringLiteral("--pipe")},
                     m_dir.path(), environmentWithPath(m_dir.filePath(QStringLiteral("bin"))));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out.count('\n'), frameCount / framesPerSlide);
    QCOMPARE(entriesOf(out).size(), frameCount / framesPerSlide);
}

void PipeMemory::peakDoesNotGrowWithTheNumberOfFrames()
{
    // The largest peak of any child waited for so far: the first reading is
    // the short run's, the second the larger of both.
    rusage usage{};
    runOn(50);
    getrusage(RUSAGE_CHILDREN, &usage);
    const long shortPeak = usage.ru_maxrss;
    runOn(400);
    getrusage(RUSAGE_CHILDREN, &usage);
    const long longPeak = usage.ru_maxrss;
    qInfo("peak resident size: %ld KiB for 50 frames, %ld KiB for 400", shortPeak, longPeak);
    // Holding even a tenth of a 640 x 360 frame per frame would add 37 MB.
    QVERIFY2(longPeak < shortPeak * 3 / 2, "peak memory grows with the number of frames");
}

QTEST_GUILESS_MAIN(PipeMemory)
#include "tst_pipememory.moc"
