// The words of the slides and the ways to read the talk, through the built
// binary and the real ffmpeg and Tesseract: a talk of slides with big known
// words gives them back in JSON, CSV, Markdown and, for pdftotext, in the
// PDF, with both detectors and both ways of reading frames; a language
// without data and an HTML page that cannot be written end the run as
// promised.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFont>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

#include <csignal>

namespace
{

struct Slide {
    QString words;
    QRgb ground;
    QRgb ink;
};

// A light slide, a dark one (light words on a dark ground), a light one.
// "ff" and "fi" must reach the PDF as letters, not as ligatures.
const QList<Slide> slides{
    {QStringLiteral("Orange office files"), qRgb(250, 250, 245), qRgb(20, 20, 20)},
    {QStringLiteral("WINTER GARDEN"), qRgb(20, 30, 90), qRgb(245, 245, 245)},
    {QStringLiteral("SILVER RIVER"), qRgb(255, 255, 255), qRgb(120, 0, 0)}};
const int secondsPerSlide = 4;

QImage slidePicture(const Slide &slide)
{
    QImage image = solidImage(640, 360, slide.ground);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(48);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(QColor(slide.ink));
    painter.drawText(image.rect(), Qt::AlignCenter, slide.words);
    return image;
}

// Runs that write a PDF of words see neither a display nor a Qt platform
// setting: the tool must find its fonts all the same.
QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

void checkSucceeded(const RunResult &result)
{
    QVERIFY2(result.exitCode == 0 && result.exitStatus == QProcess::NormalExit,
             result.err.constData());
}

QString pdfPageText(const QString &pdf, int page)
{
    const QString number = QString::number(page);
    const RunResult result = runProgram(
        QStringLiteral("pdftotext"),
        {QStringLiteral("-f"), number, QStringLiteral("-l"), number, pdf, QStringLiteral("-")},
        QDir::currentPath(), QProcessEnvironment());
    return QString::fromUtf8(result.out);
}

// The image link and the fenced words of each slide section of the notes.
QList<QPair<QString, QString>> markdownSlides(const QString &notes)
{
    static const QRegularExpression section(
        QStringLiteral("^## Slide \\d+ \\([0-9:]+ - [0-9:]+\\)\n\n!\\[Slide \\d+\\]\\(([^)]*)\\)\n"
                       "(?:\n(`{3,})text\n(.*?)\n\\2\n)?"),
        QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
    QList<QPair<QString, QString>> found;
    for (auto it = section.globalMatch(notes); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        found.append({QUrl::fromPercentEncoding(match.captured(1).toUtf8()), match.captured(3)});
    }
    return found;
}

} // namespace

class Reading : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void everyOutputCarriesTheWords_data();
    void everyOutputCarriesTheWords();
    void interruptStopsTheReading();
    void missingLanguageFailsBeforeAnyWork_data();
    void missingLanguageFailsBeforeAnyWork();
    void htmlThatCannotBeWrittenLeavesNothing_data();
    void htmlThatCannotBeWrittenLeavesNothing();

  private:
    RunResult run(const QStringList &arguments) const;

    QTemporaryDir m_shared; // the talk, made once
    QString m_talk;
    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every row
};

void Reading::initTestCase()
{
    QVERIFY(m_shared.isValid());
    QList<QImage> frames;
    for (const Slide &slide : slides) {
        for (int i = 0; i < secondsPerSlide; ++i)
            frames.append(slidePicture(slide));
    }
    const QString source = m_shared.filePath(QStringLiteral("source"));
    writeSourceFrames(source, frames);
    // Lossless, so every frame of a slide is the same picture.
    m_talk = m_shared.filePath(QStringLiteral("talk.mkv"));
    const RunResult made =
        runProgram(QStringLiteral("ffmpeg"),
                   {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                    QStringLiteral("error"), QStringLiteral("-framerate"), QStringLiteral("1"),
                    QStringLiteral("-i"), QDir(source).filePath(QStringLiteral("%06d.png")),
                    QStringLiteral("-c:v"), QStringLiteral("ffv1"), m_talk},
                   m_shared.path(), QProcessEnvironment::systemEnvironment());
    QVERIFY2(made.exitCode == 0, made.err.constData());
}

void Reading::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

RunResult Reading::run(const QStringList &arguments) const
{
    return runStillsift(QStringList{QStringLiteral("--input"), m_talk} + arguments, m_dir->path(),
                        withoutDisplay());
}

void Reading::everyOutputCarriesTheWords_data()
{
    // The words reach every format through the same records, whatever
    // the detector and the frames: each run reads once, in one format.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("format");
    QTest::newRow("pixel detector, frame files: JSON and PDF")
        << QStringList() << QStringLiteral("json");
    QTest::newRow("pixel detector, pipe: CSV")
        << QStringList{QStringLiteral("--pipe")} << QStringLiteral("csv");
    QTest::newRow("robust detector, frame files: Markdown")
        << QStringList{QStringLiteral("--detector=robust")} << QStringLiteral("markdown");
    QTest::newRow("robust detector, pipe: JSON and PDF")
        << QStringList{QStringLiteral("--detector=robust"), QStringLiteral("--pipe")}
        << QStringLiteral("json");
}

void Reading::everyOutputCarriesTheWords()
{
    QFETCH(QStringList, options);
    QFETCH(QString, format);
    // Links and paths must survive a folder name that means something to
    // Markdown, URLs and CSV alike.
    const QStringList common =
        options +
        QStringList{QStringLiteral("--out"),    QStringLiteral("Folien [1] #2 50%, \"ü\""),
                    QStringLiteral("--ocr"),    QStringLiteral("eng"),
                    QStringLiteral("--format"), format};
    const QString pdf = m_dir->filePath(QStringLiteral("deck.pdf"));
    const bool withPdf = format == QLatin1String("json");
    const RunResult result =
        run(common + (withPdf ? QStringList{QStringLiteral("--pdf"), pdf} : QStringList()));
    checkSucceeded(result);

    QStringList texts;
    QStringList images;
    if (format == QLatin1String("json")) {
        const QJsonArray segments = QJsonDocument::fromJson(result.out)
                                        .object()
                                        .value(QStringLiteral("segments"))
                                        .toArray();
        for (const QJsonValue &segment : segments) {
            texts.append(segment.toObject().value(QStringLiteral("text")).toString());
            images.append(segment.toObject().value(QStringLiteral("image")).toString());
        }
    } else if (format == QLatin1String("csv")) {
        QStringList records = QString::fromUtf8(result.out).split(QStringLiteral("\r\n"));
        QVERIFY(records.takeFirst().endsWith(QLatin1String(",label,text")));
        QCOMPARE(records.takeLast(), QString());
        for (const QString &record : records)
            texts.append(record.section(QLatin1Char(','), -1));
    } else {
        for (const auto &section : markdownSlides(QString::fromUtf8(result.out))) {
            images.append(section.first);
            texts.append(section.second);
        }
    }
    QCOMPARE(texts.size(), slides.size());
    for (qsizetype i = 0; i < slides.size(); ++i) {
        QCOMPARE(texts.at(i), slides.at(i).words);
        if (!images.isEmpty())
            QVERIFY(QFile::exists(m_dir->filePath(images.at(i))));
        if (!withPdf)
            continue;
        const QString page = pdfPageText(pdf, int(i) + 1);
        for (const QString &word : slides.at(i).words.split(QLatin1Char(' ')))
            QVERIFY2(page.contains(word), qPrintable(page));
    }
}

void Reading::interruptStopsTheReading()
{
    // Slides dense with small words take Tesseract seconds each: the
    // reading is still going when the walk is over and the interrupt comes.
    // Each slide a shade darker, so that every one is a slide of its own.
    QList<QImage> frames;
    for (int k = 0; k < 6; ++k) {
        QImage picture = solidImage(1920, 1080, qRgb(250 - 10 * k, 250 - 10 * k, 250 - 10 * k));
        QPainter painter(&picture);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(14);
        painter.setFont(font);
        for (int line = 0; line < 60; ++line)
            painter.drawText(20, 20 + 17 * line,
                             QStringLiteral("slide %1 line %2 ").arg(k).arg(line).repeated(12));
        painter.end();
        frames.append(picture);
        frames.append(picture);
    }
    const QString source = m_dir->filePath(QStringLiteral("source"));
    writeSourceFrames(source, frames);
    const QString talk = m_dir->filePath(QStringLiteral("dense.mkv"));
    const RunResult made =
        runProgram(QStringLiteral("ffmpeg"),
                   {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                    QStringLiteral("error"), QStringLiteral("-framerate"), QStringLiteral("1"),
                    QStringLiteral("-i"), QDir(source).filePath(QStringLiteral("%06d.png")),
                    QStringLiteral("-c:v"), QStringLiteral("ffv1"), talk},
                   m_dir->path(), QProcessEnvironment::systemEnvironment());
    QVERIFY2(made.exitCode == 0, made.err.constData());

    QProcess stillsift;
    stillsift.setWorkingDirectory(m_dir->path());
    stillsift.setProcessEnvironment(withoutDisplay());
    stillsift.start(QStringLiteral(STILLSIFT_BINARY_PATH),
                    {QStringLiteral("--input"), talk, QStringLiteral("--out"),
                     QStringLiteral("out"), QStringLiteral("--pipe"), QStringLiteral("--ocr"),
                     QStringLiteral("eng"), QStringLiteral("--pdf"),
                     QStringLiteral("out/slides.pdf"), QStringLiteral("--html"),
                     QStringLiteral("out/talk.html")});
    // Once the last slide is out, the walk is over and only the reading
    // goes on: for seconds a slide.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir->filePath(QStringLiteral("out/slide_0006.png"))),
                             120000);
    QCOMPARE(stillsift.state(), QProcess::Running);
    QElapsedTimer sinceInterrupt;
    sinceInterrupt.start();
    kill(pid_t(stillsift.processId()), SIGINT);
    QVERIFY(stillsift.waitForFinished(60000));
    qInfo("stopped %lld ms after the interrupt", qint64(sinceInterrupt.elapsed()));
    QCOMPARE(stillsift.exitCode(), 128 + SIGINT);
    QCOMPARE(stillsift.readAllStandardError(), QByteArray("interrupted\n"));
    QCOMPARE(stillsift.readAllStandardOutput(), QByteArray());
    // Whole slides only; no PDF, no page (the reading did not run on to
    // write them), no temporary file.
    for (const QString &name : entriesOf(m_dir->filePath(QStringLiteral("out"))))
        QVERIFY2(
            QRegularExpression(QStringLiteral("\\Aslide_\\d{4}\\.png\\z")).match(name).hasMatch(),
            qPrintable(name));
}

void Reading::missingLanguageFailsBeforeAnyWork_data()
{
    QTest::addColumn<QString>("languages");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("unknown") << QStringLiteral("xxx")
                             << QByteArray("OCR language not available: xxx\n");
    QTest::newRow("second of two")
        << QStringLiteral("eng+qqq") << QByteArray("OCR language not available: qqq\n");
    QTest::newRow("an empty part")
        << QStringLiteral("eng+") << QByteArray("OCR language not available: eng+\n");
}

void Reading::missingLanguageFailsBeforeAnyWork()
{
    QFETCH(QString, languages);
    QFETCH(QByteArray, error);
    const QString bin = m_dir->filePath(QStringLiteral("bin"));
    const QString argv = m_dir->filePath(QStringLiteral("argv"));
    writeFakeFfmpeg(bin, recordArgumentsBody(argv));
    for (const QStringList &mode : {QStringList(), QStringList{QStringLiteral("--pipe")}}) {
        const RunResult result = runStillsift(mode + QStringList{QStringLiteral("--input=talk.mp4"),
                                                                 QStringLiteral("--ocr"), languages,
                                                                 QStringLiteral("--format=json")},
                                              m_dir->path(), environmentWithPath(bin));
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.err, error);
        QCOMPARE(result.out, QByteArray());
        QCOMPARE(recordedArguments(argv), QStringList());
        QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("slides"))));
    }
}

void Reading::htmlThatCannotBeWrittenLeavesNothing_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("below a regular file") << QStringLiteral("afile/talk.html") << QStringList();
    QTest::newRow("in a folder that does not exist, with words")
        << QStringLiteral("missing/talk.html") << QStringList{QStringLiteral("--ocr=eng")};
    QTest::newRow("a folder in its place") << QStringLiteral("adir") << QStringList();
    // The words set in the PDF take a GUI application, which must not
    // talk on standard error either.
    QTest::newRow("below a regular file, with words in a PDF")
        << QStringLiteral("afile/talk.html")
        << QStringList{QStringLiteral("--ocr=eng"), QStringLiteral("--pdf=slides/talk.pdf")};
}

void Reading::htmlThatCannotBeWrittenLeavesNothing()
{
    QFETCH(QString, html);
    QFETCH(QStringList, options);
    // ffmpeg's banner would mix with the message: a quiet stand-in gives
    // the frames.
    const QString bin = m_dir->filePath(QStringLiteral("bin"));
    writeFakeFfmpeg(bin, copyFramesBody(m_shared.filePath(QStringLiteral("source"))));
    QProcessEnvironment environment = environmentWithPath(bin);
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        environment.remove(QString::fromLatin1(name));
    writeFile(m_dir->filePath(QStringLiteral("afile")), "not a folder");
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("adir")));
    const QStringList before = entriesOf(m_dir->path());
    for (const char *format : {"text", "json", "markdown"}) {
        const RunResult result = runStillsift(
            options + QStringList{QStringLiteral("--input=talk.mp4"), QStringLiteral("--html"),
                                  html, QStringLiteral("--format"), QString::fromLatin1(format)},
            m_dir->path(), environment);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.out, QByteArray());
        QVERIFY2(result.err.startsWith(QStringLiteral("failed to write %1: ").arg(html).toUtf8()) &&
                     result.err.endsWith('\n') && result.err.count('\n') == 1,
                 result.err.constData());
        // Only the slides are new: no page, no temporary file beside it.
        QStringList expected = before + QStringList{QStringLiteral("slides")};
        expected.sort();
        QCOMPARE(entriesOf(m_dir->path()), expected);
        QCOMPARE(entriesOf(m_dir->filePath(QStringLiteral("adir"))), QStringList());
    }
}

QTEST_MAIN(Reading)
#include "tst_reading.moc"
