// The frame loader on its own: the images it hands out against a plain
// QImageReader, the frames the caller still holds, the first undecodable
// frame in frame order, and the worker threads it leaves behind.
#include "frames.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

namespace
{

QImage plainRead(const QString &path)
{
    return QImageReader(path, QByteArray()).read();
}

QString plainError(const QString &path)
{
    QImageReader reader(path, QByteArray());
    reader.read();
    return reader.errorString();
}

// Frame i of a run of frames that all differ from one another.
QImage numberedFrame(int i, int width = 40, int height = 30)
{
    QImage image = solidImage(width, height, qRgb(17 * i % 256, 255 - 9 * i % 256, 60));
    image.setPixel(i % width, i / width % height, qRgb(255, 255, 255));
    return image;
}

QList<QImage> numberedFrames(int count)
{
    QList<QImage> frames;
    for (int i = 0; i < count; ++i)
        frames.append(numberedFrame(i));
    return frames;
}

QImage inFormat(const QImage &image, QImage::Format format)
{
    return image.convertToFormat(format);
}

QImage translucent(int i)
{
    QImage image(40, 30, QImage::Format_ARGB32);
    image.fill(qRgba(200, 100, 50 + i, 90 + 5 * i));
    image.setPixel(i % 40, 0, qRgba(1, 2, 3, 0));
    return image;
}

// Runs of frames in one format, each frame with its own palette or alpha,
// so that buffers of that format are decoded over again and again.
QList<QImage> runsOfOneFormat()
{
    QList<QImage> frames;
    for (int i = 0; i < 8; ++i)
        frames.append(inFormat(numberedFrame(i), QImage::Format_Indexed8));
    for (int i = 0; i < 8; ++i)
        frames.append(translucent(i));
    for (int i = 0; i < 8; ++i)
        frames.append(inFormat(numberedFrame(i), QImage::Format_Grayscale8));
    return frames;
}

QList<int> upTo(int count)
{
    QList<int> indices;
    for (int i = 0; i < count; ++i)
        indices.append(i);
    return indices;
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

// The loader where every frame asked for is one of the paths.
std::function<QImage(int)> framesWithin(const QStringList &paths, LoadFailure *failure)
{
    const auto frameAt = loadFrames(paths, failure);
    return [frameAt](int index) { return frameAt(index).value(); };
}

} // namespace

class Loading : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void sameImagesAsAPlainReader_data();
    void sameImagesAsAPlainReader();
    void firstUndecodableFrameIsReported_data();
    void firstUndecodableFrameIsReported();
    void framesCanBeSkipped();
    void droppingTheSourceEndsItsWorkers_data();
    void droppingTheSourceEndsItsWorkers();

  private:
    QStringList writeFrames(const QList<QImage> &frames) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

void Loading::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QStringList Loading::writeFrames(const QList<QImage> &frames) const
{
    QStringList paths;
    for (int i = 0; i < frames.size(); ++i) {
        paths.append(
            m_dir->filePath(QStringLiteral("frame_%1.png").arg(i + 1, 6, 10, QLatin1Char('0'))));
        writePng(paths.last(), frames.at(i));
    }
    return paths;
}

void Loading::sameImagesAsAPlainReader_data()
{
    QTest::addColumn<QList<QImage>>("frames");
    QTest::addColumn<QList<int>>("held"); // frames the caller keeps to the end

    QTest::newRow("one frame") << QList<QImage>{numberedFrame(0)} << QList<int>();
    QTest::newRow("fewer frames than the read-ahead") << numberedFrames(3) << QList<int>{0};
    QTest::newRow("many frames, only the previous one held") << numberedFrames(40) << QList<int>();
    QTest::newRow("an old frame held for long stretches, as in video mode")
        << numberedFrames(40) << QList<int>{0, 1, 17, 18, 30};
    QTest::newRow("every frame held, so no buffer is ever free") << numberedFrames(24) << upTo(24);
    // Each PNG kind decodes to its own format; a buffer of another size or
    // format must not be decoded over as if it fitted.
    QTest::newRow("formats and sizes change from frame to frame")
        << QList<QImage>{numberedFrame(0),
                         numberedFrame(1),
                         translucent(2),
                         inFormat(numberedFrame(3), QImage::Format_Grayscale8),
                         inFormat(numberedFrame(4), QImage::Format_Indexed8),
                         inFormat(numberedFrame(5), QImage::Format_RGBA64),
                         inFormat(numberedFrame(6), QImage::Format_Mono),
                         numberedFrame(7, 41, 30),
                         numberedFrame(8, 1, 1),
                         numberedFrame(9),
                         translucent(10),
                         numberedFrame(11),
                         numberedFrame(12)}
        << QList<int>{2};
    QTest::newRow("palettes and alpha differ within runs of one format")
        << runsOfOneFormat() << QList<int>{3};
}

void Loading::sameImagesAsAPlainReader()
{
    QFETCH(QList<QImage>, frames);
    QFETCH(QList<int>, held);

    const QStringList paths = writeFrames(frames);
    QList<QImage> expected;
    for (const QString &path : paths)
        expected.append(plainRead(path));

    LoadFailure failure;
    QList<QImage> kept;
    {
        const auto frameAt = loadFrames(paths, &failure);
        QImage previous;
        for (int i = 0; i < paths.size(); ++i) {
            QVERIFY(frameAt(i).has_value());
            const QImage frame = *frameAt(i);
            QCOMPARE(frame, expected.at(i));
            if (i > 0)
                QCOMPARE(previous, expected.at(i - 1));
            if (held.contains(i))
                kept.append(frame);
            previous = frame;
        }
        QVERIFY(!frameAt(int(paths.size())).has_value());
    }
    // Nothing the caller held was decoded over, not even after the loader
    // went away.
    for (qsizetype k = 0; k < kept.size(); ++k)
        QCOMPARE(kept.at(k), expected.at(held.at(k)));
    QCOMPARE(failure.path, QString());
}

void Loading::firstUndecodableFrameIsReported_data()
{
    // One letter per frame: '.' a good frame, 'z' zero bytes, 't' text
    // instead of a PNG, 'c' a PNG cut short, 'm' a file gone from the disk.
    QTest::addColumn<QByteArray>("layout");
    QTest::addColumn<int>("pause"); // ms the caller waits after frame 0

    QTest::newRow("the first frame") << QByteArray("z.....") << 0;
    QTest::newRow("the last frame") << QByteArray("........t") << 0;
    QTest::newRow("frame 2, every later frame decoded and failed first")
        << QByteArray("..tzctzctzct") << 300;
    QTest::newRow("frame 5, later ones failing otherwise, workers ahead")
        << QByteArray(".....cztm....m") << 300;
    QTest::newRow("a frame gone from the disk") << QByteArray("...m..") << 0;
    QTest::newRow("frame 1, right behind the first") << QByteArray(".tttttttt") << 300;
}

void Loading::firstUndecodableFrameIsReported()
{
    QFETCH(QByteArray, layout);
    QFETCH(int, pause);

    const QStringList paths = writeFrames(numberedFrames(int(layout.size())));
    for (int i = 0; i < layout.size(); ++i) {
        QFile file(paths.at(i));
        if (layout.at(i) == 'm') {
            QVERIFY(file.remove());
            continue;
        }
        if (layout.at(i) == '.')
            continue;
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray png = file.readAll();
        QVERIFY(file.resize(0));
        QVERIFY(file.seek(0));
        if (layout.at(i) == 't')
            file.write("not a picture");
        else if (layout.at(i) == 'c')
            file.write(png.left(png.size() / 2));
    }
    int bad = 0;
    while (layout.at(bad) == '.')
        ++bad;

    LoadFailure failure;
    const std::function<QImage(int)> frameAt = framesWithin(paths, &failure);
    for (int i = 0; i < bad; ++i) {
        QCOMPARE(frameAt(i), plainRead(paths.at(i)));
        QCOMPARE(failure.path, QString());
        if (i == 0)
            QThread::msleep(pause);
    }
    QVERIFY(frameAt(bad).isNull());
    QCOMPARE(failure.path, paths.at(bad));
    QCOMPARE(failure.error, plainError(paths.at(bad)));
}

void Loading::framesCanBeSkipped()
{
    const QStringList paths = writeFrames(numberedFrames(14));
    LoadFailure failure;
    const std::function<QImage(int)> frameAt = framesWithin(paths, &failure);
    for (int i : {0, 3, 4, 11, 13})
        QCOMPARE(frameAt(i), plainRead(paths.at(i)));
    QCOMPARE(failure.path, QString());
}

void Loading::droppingTheSourceEndsItsWorkers_data()
{
    QTest::addColumn<int>("taken");   // frames asked for before the source goes
    QTest::addColumn<int>("failing"); // an undecodable frame, or -1

    QTest::newRow("no frame asked for") << 0 << -1;
    QTest::newRow("mid-walk, decodes pending") << 3 << -1;
    QTest::newRow("at an undecodable frame") << 3 << 2;
}

void Loading::droppingTheSourceEndsItsWorkers()
{
    QFETCH(int, taken);
    QFETCH(int, failing);

    // Frames large enough that the workers are still busy when the source
    // is dropped.
    QList<QImage> frames;
    for (int i = 0; i < 16; ++i)
        frames.append(numberedFrame(i, 960, 540));
    const QStringList paths = writeFrames(frames);
    if (failing >= 0) {
        QFile file(paths.at(failing));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    }

    const int before = threadCount();
    LoadFailure failure;
    QList<QImage> handedOut;
    {
        const std::function<QImage(int)> frameAt = framesWithin(paths, &failure);
        for (int i = 0; i < taken; ++i)
            handedOut.append(frameAt(i));
        if (taken > 0)
            QVERIFY(threadCount() > before);
    }
    QTRY_COMPARE(threadCount(), before);
    for (int i = 0; i < taken; ++i)
        QCOMPARE(handedOut.at(i), i == failing ? QImage() : plainRead(paths.at(i)));
    QCOMPARE(failure.path, failing >= 0 ? paths.at(failing) : QString());
}

QTEST_GUILESS_MAIN(Loading)
#include "tst_load.moc"
