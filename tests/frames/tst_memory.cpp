// Peak memory of whole runs through the built binary does not grow with
// the number of frames: frames are decoded a bounded number ahead and their
// buffers reused, never all held at once.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <memory>

namespace
{

const int width = 640;
const int height = 360;
const int framesPerSlide = 10;

// The largest peak resident size, in KiB, of any child waited for so far.
long childrenPeakKib()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

} // namespace

class Memory : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void peakDoesNotGrowWithTheNumberOfFrames();

  private:
    // Runs stillsift on frameCount frames, a new picture every
    // framesPerSlide frames, and checks that it made one slide per picture.
    void runOn(int frameCount);

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
    }
    writeFakeFfmpeg(m_dir.filePath(QStringLiteral("bin")), "exit 0");
}

void Memory::runOn(int frameCount)
{
    const QString out = m_dir.filePath(QStringLiteral("out%1").arg(frameCount));
    QVERIFY(QDir().mkpath(out));
    for (int i = 0; i < frameCount; ++i) {
        const QString picture =
            m_dir.filePath(QStringLiteral("picture%1.png").arg(i / framesPerSlide % 4));
        const QString frame = QStringLiteral("frame_%1.png").arg(i + 1, 6, 10, QLatin1Char('0'));
        QVERIFY(QFile::copy(picture, QDir(out).filePath(frame)));
    }
    const RunResult result =
        runStillsift({QStringLiteral("--input=talk.mp4"), QStringLiteral("--out"), out},
                     m_dir.path(), environmentWithPath(m_dir.filePath(QStringLiteral("bin"))));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out.count('\n'), frameCount / framesPerSlide);
}

void Memory::peakDoesNotGrowWithTheNumberOfFrames()
{
    // No other child has run yet, so the first reading is the short run's
    // own peak; the second is the larger of both peaks.
    runOn(50);
    const long shortPeak = childrenPeakKib();
    runOn(400);
    const long longPeak = childrenPeakKib();
    qInfo("peak resident size: %ld KiB for 50 frames, %ld KiB for 400", shortPeak, longPeak);
    // Holding even a tenth of a 640 x 360 frame per frame would add 37 MB.
    QVERIFY2(longPeak < shortPeak * 3 / 2, "peak memory grows with the number of frames");
}

QTEST_GUILESS_MAIN(Memory)
#include "tst_memory.moc"
