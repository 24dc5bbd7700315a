// The words spoken, from subtitles: a stream inside the video and a file
// beside it, through both frame modes, each word on the slide it was
// spoken under; and subtitles that cannot be read stop the run before
// anything is written.
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

class Subtitles : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void speechOnItsSlides_data();
    void speechOnItsSlides();
    void shownInMarkdownAndPage();
    void unreadableSubtitles_data();
    void unreadableSubtitles();

  private:
    QTemporaryDir m_dir;
    QString m_plain;     // three slides of 4 s each, no subtitles
    QString m_captioned; // the same with the cues as a stream of its own
};

// Rolling captions, as a speech recognizer writes them: the second cue
// repeats the first line, and "three" is spoken across the second change,
// mostly after it.
static const char cues[] = "WEBVTT\n\n"
                           "00:00:00.500 --> 00:00:02.500\n<c>first</c><00:00:01.000><c> slide "
                           "words</c>\n\n"
                           "00:00:02.500 --> 00:00:05.000\nfirst slide words\nsecond &amp; "
                           "<i>more</i>\n\n"
                           "00:00:05.000 --> 00:00:07.500\nstill second\n\n"
                           "00:00:07.800 --> 00:00:10.000\nthree\n";

static void runFfmpeg(const QString &workDir, const QStringList &arguments)
{
    const RunResult result = runProgram(
        QStringLiteral("ffmpeg"),
        QStringList{QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y")} +
            arguments,
        workDir, QProcessEnvironment::systemEnvironment());
    QVERIFY2(result.exitCode == 0, result.err.constData());
}

void Subtitles::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_plain = m_dir.filePath(QStringLiteral("talk.mp4"));
    runFfmpeg(m_dir.path(),
              {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
               QStringLiteral("color=red:s=160x120:d=4:r=10,format=yuv420p"), QStringLiteral("-f"),
               QStringLiteral("lavfi"), QStringLiteral("-i"),
               QStringLiteral("color=blue:s=160x120:d=4:r=10,format=yuv420p"), QStringLiteral("-f"),
               QStringLiteral("lavfi"), QStringLiteral("-i"),
               QStringLiteral("color=white:s=160x120:d=4:r=10,format=yuv420p"),
               QStringLiteral("-filter_complex"), QStringLiteral("[0][1][2]concat=n=3[v]"),
               QStringLiteral("-map"), QStringLiteral("[v]"), QStringLiteral("-c:v"),
               QStringLiteral("libx264"), m_plain});
    writeFile(m_dir.filePath(QStringLiteral("cues.vtt")), cues);
    m_captioned = m_dir.filePath(QStringLiteral("captioned.mkv"));
    runFfmpeg(m_dir.path(),
              {QStringLiteral("-i"), m_plain, QStringLiteral("-i"), QStringLiteral("cues.vtt"),
               QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-map"),
               QStringLiteral("1"), QStringLiteral("-c:v"), QStringLiteral("copy"),
               QStringLiteral("-c:s"), QStringLiteral("subrip"), m_captioned});
    // Beside the plain video, as a download tool names it.
    writeFile(m_dir.filePath(QStringLiteral("talk.en.vtt")), cues);
}

void Subtitles::speechOnItsSlides_data()
{
    QTest::addColumn<QString>("video");
    QTest::addColumn<QString>("subtitles");
    QTest::addColumn<bool>("pipe");
    QTest::newRow("stream, frame files") << m_captioned << "auto" << false;
    QTest::newRow("stream, pipe") << m_captioned << "auto" << true;
    QTest::newRow("file beside it, pipe") << m_plain << "auto" << true;
    QTest::newRow("file named") << m_plain << m_dir.filePath(QStringLiteral("cues.vtt")) << false;
}

void Subtitles::speechOnItsSlides()
{
    QFETCH(QString, video);
    QFETCH(QString, subtitles);
    QFETCH(bool, pipe);
    QStringList arguments{
        QStringLiteral("--input"),
        video,
        QStringLiteral("--out"),
        QStringLiteral("slides-%1").arg(QString::fromUtf8(QTest::currentDataTag())),
        QStringLiteral("--subtitles"),
        subtitles,
        QStringLiteral("--format"),
        QStringLiteral("json")};
    if (pipe)
        arguments << QStringLiteral("--pipe");
    const RunResult result =
        runStillsift(arguments, m_dir.path(), QProcessEnvironment::systemEnvironment());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    // No notice (ffmpeg's own output aside, which frame files show).
    if (pipe)
        QVERIFY2(result.err.isEmpty(), result.err.constData());
    const QJsonArray segments =
        QJsonDocument::fromJson(result.out).object().value(QStringLiteral("segments")).toArray();
    QStringList speech;
    for (const QJsonValue &segment : segments)
        speech.append(segment.toObject().value(QStringLiteral("speech")).toString());
    QCOMPARE(speech, (QStringList{QStringLiteral("first slide words second & more"),
                                  QStringLiteral("still second"), QStringLiteral("three")}));
}

void Subtitles::shownInMarkdownAndPage()
{
    const RunResult result = runStillsift(
        {QStringLiteral("--input"), m_captioned, QStringLiteral("--out"), QStringLiteral("shown"),
         QStringLiteral("--subtitles"), QStringLiteral("auto"), QStringLiteral("--format"),
         QStringLiteral("markdown"), QStringLiteral("--html"), QStringLiteral("shown/talk.html")},
        m_dir.path(), QProcessEnvironment::systemEnvironment());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY2(result.out.contains("### What was said\n\nstill second\n"), result.out.constData());
    const QByteArray page = readFile(m_dir.filePath(QStringLiteral("shown/talk.html")));
    // Said under the slide, and found by the page's filter.
    QVERIFY(page.contains("<p class=\"words speech\">first slide words second &amp; more</p>"));
    QVERIFY(page.contains("data-text=\"still second\""));
    QVERIFY(page.contains("id=\"filter\""));
}

void Subtitles::unreadableSubtitles_data()
{
    QTest::addColumn<QString>("subtitles");
    QTest::addColumn<QByteArray>("content"); // empty: no such file
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("missing") << "missing.vtt" << QByteArray()
                             << QByteArray("cannot read subtitles missing.vtt: No such file or "
                                           "directory\n");
    QTest::newRow("empty") << "empty.vtt" << QByteArray("WEBVTT\n\n")
                           << QByteArray("cannot read subtitles empty.vtt: no cues in it\n");
    QTest::newRow("not subtitles")
        << "noise.srt" << QByteArray("\x01\x02 not subtitles at all \xff")
        << QByteArray("cannot read subtitles noise.srt: Invalid data found when processing "
                      "input\n");
}

void Subtitles::unreadableSubtitles()
{
    QFETCH(QString, subtitles);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, message);
    if (!content.isEmpty())
        writeFile(m_dir.filePath(subtitles), content);
    const QString out = QStringLiteral("unread-%1").arg(QString::fromUtf8(QTest::currentDataTag()));
    const RunResult result =
        runStillsift({QStringLiteral("--input"), m_plain, QStringLiteral("--out"), out,
                      QStringLiteral("--subtitles"), subtitles},
                     m_dir.path(), QProcessEnvironment::systemEnvironment());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, message);
    QVERIFY(result.out.isEmpty());
    QVERIFY(!QFileInfo::exists(m_dir.filePath(out)));
}

QTEST_GUILESS_MAIN(Subtitles)
#include "tst_subtitles.moc"
