// The command line through the built binary: help, usage, validation of the
// numeric options and the detector's name, and the values that reach ffmpeg.
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

class CommandLine : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void rejectedRuns_data();
    void rejectedRuns();
    void acceptedValues_data();
    void acceptedValues();
    void helpWithoutInput();
    void defaultsReachFfmpeg();
    void positionalArgumentsAreIgnored();

  private:
    RunResult run(const QStringList &arguments);
    QString argvFile() const { return m_dir->filePath(QStringLiteral("argv")); }

    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every test function
    QString m_bin;
};

void CommandLine::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_bin = m_dir->filePath(QStringLiteral("bin"));
    QFile::remove(argvFile());
    writeFakeFfmpeg(m_bin, recordArgumentsBody(argvFile()));
}

RunResult CommandLine::run(const QStringList &arguments)
{
    return runStillsift(arguments, m_dir->path(), environmentWithPath(m_bin));
}

void CommandLine::rejectedRuns_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<bool>("printsHelp");

    const QByteArray usage = "Usage: stillsift --input file [--out DIR] [--fps N]\n";
    const QString in = QStringLiteral("--input=talk.mp4");
    QTest::newRow("no arguments") << QStringList() << usage << true;
    QTest::newRow("empty input") << QStringList{QStringLiteral("--input=")} << usage << true;
    QTest::newRow("usage wins over a bad fps")
        << QStringList{QStringLiteral("--fps"), QStringLiteral("0")} << usage << true;

    const QByteArray badFps = "Invalid fps value\n";
    for (const char *value : {"0", "-2", "2.5", "abc", "", "2147483648", " 1x"})
        QTest::addRow("fps '%s'", value)
            << QStringList{in, QStringLiteral("--fps=") + QLatin1String(value)} << badFps << false;

    const QByteArray badThreshold = "Invalid threshold value\n";
    for (const char *value : {"abc", "0,95", ""})
        QTest::addRow("threshold '%s'", value)
            << QStringList{in, QStringLiteral("--threshold=") + QLatin1String(value)}
            << badThreshold << false;

    const QByteArray badChanges = "Invalid video-changes value\n";
    for (const char *value : {"-1", "1.5", "", "2147483648"})
        QTest::addRow("video-changes '%s'", value)
            << QStringList{in, QStringLiteral("--video-changes=") + QLatin1String(value)}
            << badChanges << false;

    const QByteArray badWindow = "Invalid video-window value\n";
    for (const char *value : {"0", "-1", "x", ""})
        QTest::addRow("video-window '%s'", value)
            << QStringList{in, QStringLiteral("--video-window=") + QLatin1String(value)}
            << badWindow << false;

    const QByteArray badFormat = "Invalid format value\n";
    for (const char *value : {"xml", "JSON", "", " csv", "text,json"})
        QTest::addRow("format '%s'", value)
            << QStringList{in, QStringLiteral("--format=") + QLatin1String(value),
                           QStringLiteral("--pdf=slides.pdf")}
            << badFormat << false;
    const QByteArray badDetector = "Invalid detector value\n";
    for (const char *value : {"", "Robust", "pixel ", "robust,pixel", "ffmpeg"})
        QTest::addRow("detector '%s'", value)
            << QStringList{in, QStringLiteral("--detector=") + QLatin1String(value)} << badDetector
            << false;

    QTest::newRow("only the first bad option: fps")
        << QStringList{in, QStringLiteral("--video-window=0"), QStringLiteral("--threshold=x"),
                       QStringLiteral("--fps=0")}
        << badFps << false;
    QTest::newRow("only the first bad option: threshold")
        << QStringList{in, QStringLiteral("--video-window=0"), QStringLiteral("--video-changes=-1"),
                       QStringLiteral("--threshold=x")}
        << badThreshold << false;
    QTest::newRow("only the first bad option: video-changes")
        << QStringList{in, QStringLiteral("--video-window=0"), QStringLiteral("--video-changes=-1")}
        << badChanges << false;
    QTest::newRow("only the first bad option: video-window")
        << QStringList{in, QStringLiteral("--format=xml"), QStringLiteral("--video-window=0")}
        << badWindow << false;
    QTest::newRow("only the first bad option: format")
        << QStringList{in, QStringLiteral("--detector=x"), QStringLiteral("--format=xml")}
        << badFormat << false;
}

void CommandLine::rejectedRuns()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);
    QFETCH(bool, printsHelp);

    const RunResult result = run(arguments);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, error);
    if (printsHelp) {
        QVERIFY(result.out.contains("Detect slide changes and export key frames"));
        QVERIFY(result.out.contains("--video-window <seconds>"));
    } else {
        QCOMPARE(result.out, QByteArray());
    }
    QVERIFY2(!QFile::exists(argvFile()), "ffmpeg must not run after a rejected option");
}

void CommandLine::acceptedValues_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("value");

    QTest::newRow("fps 1") << "fps"
                           << "1";
    QTest::newRow("fps 30") << "fps"
                            << "30";
    QTest::newRow("fps max int") << "fps"
                                 << "2147483647";
    for (const char *value : {"5", "-1", "0", "1e308", "0.5", "-inf", "nan"})
        QTest::addRow("threshold %s", value) << "threshold" << QString::fromLatin1(value);
    QTest::newRow("video-changes 0") << "video-changes"
                                     << "0";
    QTest::newRow("video-window 1") << "video-window"
                                    << "1";
    QTest::newRow("video-window max int") << "video-window"
                                          << "2147483647";
    for (const char *value : {"text", "json", "csv", "vtt", "ffmetadata", "markdown"})
        QTest::addRow("format %s", value) << "format" << QString::fromLatin1(value);
    QTest::newRow("pdf empty, as if not given") << "pdf" << QString();
    QTest::newRow("detector pixel") << "detector"
                                    << "pixel";
    QTest::newRow("detector robust") << "detector"
                                     << "robust";
    QTest::newRow("html empty, as if not given") << "html" << QString();
    QTest::newRow("ocr empty, as if not given") << "ocr" << QString();
}

void CommandLine::acceptedValues()
{
    QFETCH(QString, option);
    QFETCH(QString, value);

    const RunResult result =
        run({QStringLiteral("--input=talk.mp4"), QStringLiteral("--%1=%2").arg(option, value)});
    QVERIFY2(!result.err.startsWith("Invalid"), result.err.constData());
    QVERIFY2(QFile::exists(argvFile()), "an accepted value must lead to extraction");
}

void CommandLine::helpWithoutInput()
{
    for (const QString &help : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        const RunResult result = run({help, QStringLiteral("--fps=0")});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QByteArray());
        QVERIFY(result.out.startsWith("Usage: "));
        // Every option with its value name and description, in table order.
        const QList<QByteArray> expected = {
            "--input <file>            Video file to process",
            "--out <dir>               Directory for slide images",
            "--fps <fps>               Frames per second to sample",
            "--threshold <value>       Similarity threshold",
            "--video-changes <count>   Changes required to enter video mode",
            "--video-window <seconds>  Window in seconds for video detection",
            "--format <format>         Timeline format: text, json, csv, vtt, ffmetadata\n"
            "                            or markdown",
            "--pdf <file>              Also write the slides as one PDF file",
            "--detector <name>         Slide detector: pixel or robust",
            "--html <file>             Also write a page for reading the talk",
            "--ocr <lang>              Read the words on the slides in these Tesseract",
        };
        qsizetype last = -1;
        for (const QByteArray &line : expected) {
            const qsizetype at = result.out.indexOf(line);
            QVERIFY2(at > last, line.constData());
            last = at;
        }
    }
    const RunResult unknown = run({QStringLiteral("--bogus")});
    QCOMPARE(unknown.exitCode, 1);
    QVERIFY(unknown.err.contains("bogus"));
    QVERIFY(!unknown.err.contains("Usage: stillsift --input"));
    const RunResult missingValue = run({QStringLiteral("--input")});
    QCOMPARE(missingValue.exitCode, 1);
    QVERIFY(missingValue.err.contains("input"));
    QVERIFY(!QFile::exists(argvFile()));
}

void CommandLine::defaultsReachFfmpeg()
{
    run({QStringLiteral("--input"), QStringLiteral("talk.mp4")});
    QCOMPARE(recordedArguments(argvFile()),
             (QStringList{QStringLiteral("-i"), QStringLiteral("talk.mp4"), QStringLiteral("-vf"),
                          QStringLiteral("fps=1"), QStringLiteral("slides/frame_%06d.png")}));
    QVERIFY(QFileInfo(m_dir->filePath(QStringLiteral("slides"))).isDir());
}

void CommandLine::positionalArgumentsAreIgnored()
{
    run({QStringLiteral("stray"), QStringLiteral("--input=a.mp4"), QStringLiteral("other")});
    QCOMPARE(recordedArguments(argvFile()).value(1), QStringLiteral("a.mp4"));
}

QTEST_GUILESS_MAIN(CommandLine)
#include "tst_cli.moc"
