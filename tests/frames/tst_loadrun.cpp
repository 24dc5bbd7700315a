// Whole runs over more frames than the loader decodes ahead, through the
// built binary: the report, the files left and the messages are exactly
// those of a walk that decodes one frame after the other.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace
{

// The letters of a frame layout: a picture each, or a file that is no PNG.
QRgb colourOf(char letter)
{
    switch (letter) {
    case 'a':
        return qRgb(230, 230, 220);
    case 'b':
        return qRgb(20, 40, 160);
    case 'c':
        return qRgb(200, 30, 30);
    default:
        return qRgb(30, 160, 60);
    }
}

QByteArray repeated(char letter, int count)
{
    return QByteArray(count, letter);
}

} // namespace

class LoadingRun : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void sameOutcomeAsDecodingInTurn_data();
    void sameOutcomeAsDecodingInTurn();

  private:
    QString out(const QString &name = QString()) const
    {
        return m_dir->filePath(QStringLiteral("out/") + name);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void LoadingRun::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(out()));
}

void LoadingRun::sameOutcomeAsDecodingInTurn_data()
{
    // One letter per frame: 'a' to 'd' a picture, 'z' an empty file, 't'
    // text where a PNG should be.
    QTest::addColumn<QByteArray>("layout");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("report");
    QTest::addColumn<QByteArray>("slides"); // the picture of each slide file
    QTest::addColumn<int>("failing");       // the frame reported, or -1

    QTest::newRow("slides far longer than the read-ahead")
        << repeated('a', 12) + "b" + repeated('c', 20) + repeated('a', 7) << QStringList()
        << QStringList{QStringLiteral("00:00:00 - 00:00:11\tout/slide_0001.png"),
                       QStringLiteral("00:00:12 - 00:00:12\tout/slide_0002.png"),
                       QStringLiteral("00:00:13 - 00:00:32\tout/slide_0003.png"),
                       QStringLiteral("00:00:33 - 00:00:39\tout/slide_0004.png")}
        << QByteArray("abca") << -1;
    QTest::newRow("a video between slides, its kept frame past the read-ahead")
        << repeated('a', 5) + "bcdbcd" + repeated('a', 9)
        << QStringList{QStringLiteral("--video-changes=0"), QStringLiteral("--video-window=3")}
        << QStringList{QStringLiteral("00:00:00 - 00:00:04\tout/slide_0001.png"),
                       QStringLiteral("00:00:05 - 00:00:10\tvideo0001"),
                       QStringLiteral("00:00:11 - 00:00:19\tout/slide_0002.png")}
        << QByteArray("aa") << -1;
    QTest::newRow("every frame a slide of its own") << QByteArray("abcdabcdabcdabcdabcd")
                                                    << QStringList{QStringLiteral("--fps=4")} <<
        [] {
            QStringList lines;
            for (int i = 0; i < 20; ++i)
                lines.append(QStringLiteral("00:00:%1 - 00:00:%1\tout/slide_%2.png")
                                 .arg(i / 4, 2, 10, QLatin1Char('0'))
                                 .arg(i + 1, 4, 10, QLatin1Char('0')));
            return lines;
        }() << QByteArray("abcdabcdabcdabcdabcd") << -1;
    QTest::newRow("frame 10 undecodable and every frame after it")
        << repeated('a', 5) + repeated('b', 5) + "z" + repeated('t', 19) << QStringList()
        << QStringList() << QByteArray() << 10;
    QTest::newRow("the first frame undecodable, good frames after it")
        << "t" + repeated('a', 20) << QStringList() << QStringList() << QByteArray() << 0;
    QTest::newRow("only the last of many frames undecodable")
        << repeated('a', 30) + "z" << QStringList() << QStringList() << QByteArray() << 30;
}

void LoadingRun::sameOutcomeAsDecodingInTurn()
{
    QFETCH(QByteArray, layout);
    QFETCH(QStringList, options);
    QFETCH(QStringList, report);
    QFETCH(QByteArray, slides);
    QFETCH(int, failing);

    QStringList frames;
    for (int i = 0; i < layout.size(); ++i) {
        frames.append(frameName(i + 1));
        const char letter = layout.at(i);
        if (letter == 'z' || letter == 't') {
            QFile file(out(frames.last()));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(letter == 't' ? "not a picture" : "");
        } else {
            writePng(out(frames.last()), solidImage(32, 24, colourOf(letter)));
        }
    }
    fakeFfmpegWritingFramesIn(out(), m_dir->filePath(QStringLiteral("bin")));

    const RunResult result = runStillsift(
        QStringList{QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out")} + options,
        m_dir->path(), environmentWithPath(m_dir->filePath(QStringLiteral("bin"))));
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    if (failing >= 0) {
        QImageReader reader(out(frameName(failing + 1)), QByteArray());
        reader.read();
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.err, QStringLiteral("load out/%1: %2\n")
                                 .arg(frameName(failing + 1), reader.errorString())
                                 .toUtf8());
        QCOMPARE(result.out, QByteArray());
        QCOMPARE(entriesOf(out()), frames);
        return;
    }
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, lines(report));
    QStringList slideFiles;
    for (int i = 0; i < slides.size(); ++i)
        slideFiles.append(QStringLiteral("slide_%1.png").arg(i + 1, 4, 10, QLatin1Char('0')));
    QCOMPARE(entriesOf(out()), slideFiles);
    for (int i = 0; i < slides.size(); ++i)
        QCOMPARE(QImage(out(slideFiles.at(i))).pixel(0, 0), colourOf(slides.at(i)));
}

QTEST_GUILESS_MAIN(LoadingRun)
#include "tst_loadrun.moc"
