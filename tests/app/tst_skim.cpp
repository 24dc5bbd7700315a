// --skim through the built binary: on a slide talk made with the real
// ffmpeg, with every frame decoded in the process it gives --pipe's report
// and slide pictures exactly, and skimmed the same report with pictures
// within a level; a video that cannot be decoded ends the run with its
// reason.
#include "testsupport.h"

#include <QDir>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

namespace
{

// Slides of 6 s with a one-line build inside one of them, 3 s of moving
// pattern, and a keyframe every 2 s.
bool makeTalk(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-nostdin"),
                  QStringLiteral("-loglevel"),
                  QStringLiteral("error"),
                  QStringLiteral("-y"),
                  QStringLiteral("-f"),
                  QStringLiteral("lavfi"),
                  QStringLiteral("-i"),
                  QStringLiteral("testsrc2=size=320x240:rate=1/6:duration=24,fps=25,"
                                 "drawbox=x=40:y=150:w=200:h=4:color=black:t=fill:"
                                 "enable='between(t,9.4,12)'"),
                  QStringLiteral("-f"),
                  QStringLiteral("lavfi"),
                  QStringLiteral("-i"),
                  QStringLiteral("testsrc2=size=320x240:rate=25:duration=3"),
                  QStringLiteral("-filter_complex"),
                  QStringLiteral("[0:v][1:v]concat=n=2[v]"),
                  QStringLiteral("-map"),
                  QStringLiteral("[v]"),
                  QStringLiteral("-g"),
                  QStringLiteral("50"),
                  QStringLiteral("-c:v"),
                  QStringLiteral("libx264"),
                  path});
    return ffmpeg.waitForFinished(120000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
           ffmpeg.exitCode() == 0;
}

QImage decoded(const QString &path)
{
    QImageReader reader(path, QByteArray());
    return reader.read();
}

} // namespace

class Skim : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void sameReportAsThePipe_data();
    void sameReportAsThePipe();
    void videoThatCannotBeDecoded_data();
    void videoThatCannotBeDecoded();

  private:
    QTemporaryDir m_dir;
};

void Skim::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(makeTalk(m_dir.filePath(QStringLiteral("talk.mp4"))));
}

void Skim::sameReportAsThePipe_data()
{
    QTest::addColumn<QString>("skimming"); // STILLSIFT_SKIM
    QTest::addColumn<double>("tolerance"); // mean difference of a slide picture, in levels
    QTest::addColumn<QStringList>("options");
    const QStringList robust{QStringLiteral("--detector=robust")};
    const QStringList pixel{QStringLiteral("--detector=pixel")};
    QTest::newRow("whole, robust") << QStringLiteral("whole") << 0.0 << robust;
    QTest::newRow("whole, pixel, --fps 3")
        << QStringLiteral("whole") << 0.0 << QStringList{QStringLiteral("--fps=3")};
    QTest::newRow("skimmed, robust") << QString() << 0.5 << robust;
    QTest::newRow("skimmed, robust, --dedupe --format json")
        << QString() << 0.5
        << robust + QStringList{QStringLiteral("--dedupe"), QStringLiteral("--format=json")};
    QTest::newRow("skimmed, pixel") << QString() << 0.5 << pixel;
}

void Skim::sameReportAsThePipe()
{
    QFETCH(QString, skimming);
    QFETCH(double, tolerance);
    QFETCH(QStringList, options);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString piped = work.filePath(QStringLiteral("piped"));
    const QString skimmed = work.filePath(QStringLiteral("skimmed"));
    QVERIFY(QDir().mkpath(piped) && QDir().mkpath(skimmed));
    const QStringList arguments =
        QStringList{QStringLiteral("--input"), m_dir.filePath(QStringLiteral("talk.mp4")),
                    QStringLiteral("--out"), QStringLiteral("slides")} +
        options;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const RunResult expected =
        runStillsift(arguments + QStringList{QStringLiteral("--pipe")}, piped, environment);
    environment.insert(QStringLiteral("STILLSIFT_SKIM_COUNTS"), QStringLiteral("1"));
    if (!skimming.isEmpty())
        environment.insert(QStringLiteral("STILLSIFT_SKIM"), skimming);
    const RunResult result =
        runStillsift(arguments + QStringList{QStringLiteral("--skim")}, skimmed, environment);

    QCOMPARE(expected.exitCode, 0);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, expected.out);
    // 27 s at 25 frames a second; frames no sample shows are left out, and
    // skimmed the still stretches too.
    const QByteArray counted = result.err.trimmed();
    QVERIFY2(counted.startsWith("decoded ") && counted.endsWith(" of 675 frames"), counted);
    const int decodedFrames = counted.split(' ').at(1).toInt();
    QVERIFY2(decodedFrames < (skimming.isEmpty() ? 450 : 675), counted);
    const QStringList slides = entriesOf(piped + QStringLiteral("/slides"));
    QVERIFY(slides.size() >= 5);
    QCOMPARE(entriesOf(skimmed + QStringLiteral("/slides")), slides);
    for (const QString &slide : slides) {
        const double difference =
            meanSampleDifference(decoded(piped + QStringLiteral("/slides/") + slide),
                                 decoded(skimmed + QStringLiteral("/slides/") + slide));
        QVERIFY2(difference <= tolerance, qPrintable(slide + QString::number(difference)));
    }
}

void Skim::videoThatCannotBeDecoded_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("missing") << QStringLiteral("missing.mp4")
                             << QByteArray("No such file or directory");
    QTest::newRow("not a video") << QStringLiteral("notes.mp4")
                                 << QByteArray("Invalid data found when processing input");
}

void Skim::videoThatCannotBeDecoded()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, reason);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    writeFile(work.filePath(QStringLiteral("notes.mp4")), "a note, not a video\n");
    const RunResult result =
        runStillsift({QStringLiteral("--input"), name, QStringLiteral("--skim")}, work.path(),
                     QProcessEnvironment::systemEnvironment());
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, "cannot decode " + name.toUtf8() + ": " + reason + "\n");
    QCOMPARE(result.out, QByteArray());
}

QTEST_GUILESS_MAIN(Skim)
#include "tst_skim.moc"
