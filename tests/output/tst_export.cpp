// Slide export: which frames become which slide files, what is deleted, and
// what a failed rename leaves behind.
#include "output.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

class Export : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void slideFileNames_data();
    void slideFileNames();
    void keptFramesBecomeNumberedSlides_data();
    void keptFramesBecomeNumberedSlides();
    void earlierSlidesAreReplacedNumberByNumber();
    void tenThousandSlides();
    void targetThatCannotBeRemoved();

  private:
    // Frames 1..count in the scratch directory, each holding its own name.
    QStringList writeFrames(int count);
    // Renames the frames of the slides that keep the given frame indices;
    // the records then name their files.
    QList<SlideRecord> exported(const QStringList &paths, QList<int> keptFrames);

    std::unique_ptr<QTemporaryDir> m_dir;
    QDir m_out;
};

void Export::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_out = QDir(m_dir->path());
}

QStringList Export::writeFrames(int count)
{
    QStringList paths;
    for (int i = 1; i <= count; ++i) {
        paths.append(m_out.filePath(frameName(i)));
        writeFile(paths.last(), frameName(i).toUtf8());
    }
    return paths;
}

QList<SlideRecord> Export::exported(const QStringList &paths, QList<int> keptFrames)
{
    std::sort(keptFrames.begin(), keptFrames.end());
    QList<SlideRecord> slides;
    for (int frame : keptFrames)
        slides.append({{frame, frame, frame, false, {}}, int(slides.size()) + 1});
    RenameFailure failure;
    if (!exportSlides(paths, m_out, &slides, &failure))
        return {};
    return slides;
}

void Export::slideFileNames_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("name");
    QTest::newRow("1") << 1 << "slide_0001.png";
    QTest::newRow("42") << 42 << "slide_0042.png";
    QTest::newRow("9999") << 9999 << "slide_9999.png";
    QTest::newRow("10000 is not cut") << 10000 << "slide_10000.png";
    QTest::newRow("123456") << 123456 << "slide_123456.png";
}

void Export::slideFileNames()
{
    QFETCH(int, number);
    QFETCH(QString, name);
    QCOMPARE(slideFileName(number), name);
}

void Export::keptFramesBecomeNumberedSlides_data()
{
    QTest::addColumn<QList<int>>("kept");         // frame numbers, 1-based
    QTest::addColumn<QStringList>("slideFrames"); // what slide 1, 2 ... hold

    QTest::newRow("one kept frame") << QList<int>{1} << QStringList{frameName(1)};
    QTest::newRow("first kept frame is not the first frame")
        << QList<int>{3, 5} << QStringList{frameName(3), frameName(5)};
    QTest::newRow("numbered in frame order without gaps")
        << QList<int>{6, 2, 4} << QStringList{frameName(2), frameName(4), frameName(6)};
    QTest::newRow("every frame kept")
        << QList<int>{1, 2, 3, 4, 5, 6} << QStringList{frameName(1), frameName(2), frameName(3),
                                                       frameName(4), frameName(5), frameName(6)};
    QTest::newRow("nothing kept deletes every frame") << QList<int>{} << QStringList{};
}

void Export::keptFramesBecomeNumberedSlides()
{
    QFETCH(QList<int>, kept);
    QFETCH(QStringList, slideFrames);

    const QStringList paths = writeFrames(6);
    writeFile(m_out.filePath(QStringLiteral("notes.txt")), "mine");
    QList<int> keptFrames;
    for (int number : kept)
        keptFrames.append(number - 1);
    // A frame number past the list takes no number and makes no file.
    keptFrames.append(999998);

    const QList<SlideRecord> slides = exported(paths, keptFrames);
    QCOMPARE(slides.size(), keptFrames.size());
    QStringList expected{QStringLiteral("notes.txt")};
    for (int i = 0; i < slideFrames.size(); ++i) {
        expected.append(slideFileName(i + 1));
        QCOMPARE(slides.at(i).image, m_out.filePath(slideFileName(i + 1)));
        QCOMPARE(readFile(m_out.filePath(slideFileName(i + 1))), slideFrames.at(i).toUtf8());
    }
    QVERIFY(slides.last().image.isEmpty());
    QCOMPARE(entriesOf(m_out.path()), expected);
}

void Export::earlierSlidesAreReplacedNumberByNumber()
{
    for (int i = 1; i <= 3; ++i)
        writeFile(m_out.filePath(slideFileName(i)), "old");
    const QStringList paths = writeFrames(4);

    QCOMPARE(exported(paths, {0, 2}).size(), 2);
    QCOMPARE(entriesOf(m_out.path()),
             (QStringList{slideFileName(1), slideFileName(2), slideFileName(3)}));
    QCOMPARE(readFile(m_out.filePath(slideFileName(1))), frameName(1).toUtf8());
    QCOMPARE(readFile(m_out.filePath(slideFileName(2))), frameName(3).toUtf8());
    QCOMPARE(readFile(m_out.filePath(slideFileName(3))), QByteArray("old"));
}

void Export::tenThousandSlides()
{
    const QStringList paths = writeFrames(10001);
    QList<int> keptFrames;
    for (int frame = 0; frame < paths.size(); ++frame)
        keptFrames.append(frame);
    QCOMPARE(exported(paths, keptFrames).size(), 10001);
    const QStringList names = entriesOf(m_out.path());
    QCOMPARE(names.size(), 10001);
    QVERIFY(names.contains(QStringLiteral("slide_9999.png")));
    QCOMPARE(readFile(m_out.filePath(QStringLiteral("slide_10000.png"))),
             frameName(10000).toUtf8());
    QCOMPARE(readFile(m_out.filePath(QStringLiteral("slide_10001.png"))),
             frameName(10001).toUtf8());
}

void Export::targetThatCannotBeRemoved()
{
    // Through the binary, for the message: a non-empty directory stands
    // where the second slide should go.
    const QString out = m_dir->filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out + QStringLiteral("/slide_0002.png")));
    writeFile(out + QStringLiteral("/slide_0002.png/inside"), "x");
    writeFile(out + QStringLiteral("/slide_0003.png"), "old three");
    const QList<QRgb> colours = {qRgb(255, 0, 0), qRgb(255, 0, 0), qRgb(0, 255, 0),
                                 qRgb(0, 0, 255), qRgb(0, 0, 255), qRgb(9, 9, 9)};
    for (int i = 0; i < colours.size(); ++i)
        writePng(out + QLatin1Char('/') + frameName(i + 1), solidImage(4, 4, colours.at(i)));
    const QString bin = m_dir->filePath(QStringLiteral("bin"));
    fakeFfmpegWritingFramesIn(out, bin);

    const RunResult result =
        runStillsift({QStringLiteral("--input=a.mp4"), QStringLiteral("--out=out")}, m_dir->path(),
                     environmentWithPath(bin));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err,
             QByteArray("failed to rename out/frame_000003.png to out/slide_0002.png\n"));
    QCOMPARE(result.out, QByteArray());
    // Before the failure: slide 1 made, frame 2 deleted. From it on: untouched.
    QCOMPARE(entriesOf(out), (QStringList{frameName(3), frameName(4), frameName(5), frameName(6),
                                          slideFileName(1), slideFileName(2), slideFileName(3)}));
    QCOMPARE(readFile(out + QStringLiteral("/slide_0003.png")), QByteArray("old three"));
    QCOMPARE(QImage(out + QStringLiteral("/slide_0001.png")).pixel(0, 0), colours.at(0));
}

QTEST_GUILESS_MAIN(Export)
#include "tst_export.moc"
