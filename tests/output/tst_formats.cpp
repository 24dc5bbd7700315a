// The timeline in every format and the slides as one PDF, through the built
// binary, read back the way their users read them: a JSON parser, a CSV
// reader, a WebVTT cue parser, the real ffmpeg and ffprobe, and poppler's
// pdfinfo, pdftoppm and pdftocairo. Every format must tell the text
// report's story.
#include "plainsimilarity.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <sys/mount.h>
#include <unistd.h>

namespace
{

// Slides, then a stretch where every frame changes, then a slide again:
// with --video-changes 1 --video-window 2 that makes a video segment at
// 1 and at 3 frames per second.
const QSize frameSize(200, 120);

QImage picture(QRgb background, QRgb shape, int variant)
{
    QImage image = solidImage(frameSize.width(), frameSize.height(), background);
    QPainter painter(&image);
    painter.fillRect(20 + 30 * variant, 15, 60, 80, QColor(shape));
    painter.fillRect(0, 100 - 10 * variant, frameSize.width(), 8, QColor(shape).darker(150));
    return image;
}

QList<QImage> talkFrames()
{
    const QImage a = picture(qRgb(250, 250, 240), qRgb(200, 30, 30), 0);
    const QImage b = picture(qRgb(20, 40, 120), qRgb(240, 200, 40), 1);
    const QImage x = picture(qRgb(0, 0, 0), qRgb(255, 255, 255), 2);
    const QImage y = picture(qRgb(255, 255, 255), qRgb(0, 0, 0), 3);
    const QImage c = picture(qRgb(30, 120, 60), qRgb(250, 250, 250), 4);
    return {a, a, a, b, b, b, x, y, x, y, c, c, c, c};
}

const QStringList detection{QStringLiteral("--video-changes=1"),
                            QStringLiteral("--video-window=2")};

// The PDF is written by Qt's own writer, which needs no display: runs
// that write one see neither a display nor a Qt platform setting.
QProcessEnvironment withoutDisplay(QProcessEnvironment environment)
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

// The sorted entries of a directory once name has been added to them.
QStringList withEntry(QStringList entries, const QString &name)
{
    if (!entries.contains(name))
        entries.append(name);
    entries.sort();
    return entries;
}

QString clock(int seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds % 3600 / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// The text report as the JSON segments describe it.
QByteArray textFromJson(const QJsonArray &segments, int fps)
{
    QByteArray text;
    for (const QJsonValue &value : segments) {
        const QJsonObject segment = value.toObject();
        const QString name = segment.value(QStringLiteral("kind")) == QLatin1String("video")
                                 ? segment.value(QStringLiteral("label")).toString()
                                 : segment.value(QStringLiteral("image")).toString();
        text += (clock(segment.value(QStringLiteral("startFrame")).toInt() / fps) +
                 QStringLiteral(" - ") +
                 clock(segment.value(QStringLiteral("endFrame")).toInt() / fps) +
                 QLatin1Char('\t') + name + QLatin1Char('\n'))
                    .toUtf8();
    }
    return text;
}

// A strict RFC 4180 reader: records end in CRLF, a quoted field may hold
// anything with its quotes doubled, an unquoted one no quote, CR or LF.
// Nothing for text that breaks these rules.
std::optional<QList<QStringList>> parseCsv(const QString &text)
{
    QList<QStringList> records;
    QStringList record;
    qsizetype i = 0;
    while (i < text.size()) {
        QString field;
        if (text.at(i) == QLatin1Char('"')) {
            for (++i;; ++i) {
                if (i >= text.size())
                    return std::nullopt;
                if (text.at(i) == QLatin1Char('"')) {
                    if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"'))
                        ++i;
                    else
                        break;
                }
                field += text.at(i);
            }
            ++i;
        } else {
            while (i < text.size() && text.at(i) != QLatin1Char(',') &&
                   text.at(i) != QLatin1Char('\r')) {
                if (text.at(i) == QLatin1Char('"') || text.at(i) == QLatin1Char('\n'))
                    return std::nullopt;
                field += text.at(i++);
            }
        }
        record.append(field);
        if (text.mid(i, 1) == QLatin1String(",")) {
            ++i;
        } else if (text.mid(i, 2) == QLatin1String("\r\n")) {
            records.append(record);
            record.clear();
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    if (!record.isEmpty()) // the last record lacks its CRLF
        return std::nullopt;
    return records;
}

struct Cue {
    double start = 0; // seconds
    double end = 0;
    QString title;
};

double cueTime(const QRegularExpressionMatch &match, int first)
{
    return match.captured(first).toInt() * 3600.0 + match.captured(first + 1).toInt() * 60.0 +
           match.captured(first + 2).toInt() + match.captured(first + 3).toInt() / 1000.0;
}

// The cues of a WebVTT file, each a timing line and one line of text; none
// if the file does not start as WebVTT or a block is not such a cue.
std::optional<QList<Cue>> parseVtt(const QString &text)
{
    static const QRegularExpression timing(
        QStringLiteral("^(\\d{2,}):([0-5]\\d):([0-5]\\d)\\.(\\d{3}) --> "
                       "(\\d{2,}):([0-5]\\d):([0-5]\\d)\\.(\\d{3})$"));
    if (!text.startsWith(QLatin1String("WEBVTT\n\n")) || !text.endsWith(QLatin1Char('\n')))
        return std::nullopt;
    QList<Cue> cues;
    const QStringList blocks = text.mid(8).chopped(1).split(QStringLiteral("\n\n"));
    for (const QString &block : blocks) {
        const QStringList cueLines = block.split(QLatin1Char('\n'));
        const QRegularExpressionMatch match = timing.match(cueLines.value(0));
        if (cueLines.size() != 2 || !match.hasMatch())
            return std::nullopt;
        cues.append({cueTime(match, 1), cueTime(match, 5), cueLines.at(1)});
    }
    return cues;
}

QString chapterTitle(const QJsonObject &segment)
{
    return (segment.value(QStringLiteral("kind")) == QLatin1String("video")
                ? QStringLiteral("Video %1")
                : QStringLiteral("Slide %1"))
        .arg(segment.value(QStringLiteral("index")).toInt());
}

double jsonSeconds(const QJsonObject &segment, const char *key)
{
    return segment.value(QLatin1String(key)).toDouble();
}

// Cues and chapters count whole milliseconds, truncated.
bool sameMillisecond(double truncated, double exact)
{
    return truncated <= exact + 1e-9 && exact - truncated < 0.001;
}

// The mean difference of red, green and blue between two images of one
// size, from 0 to 255.
double meanDifference(const QImage &a, const QImage &b)
{
    return 255.0 * (1.0 - plainSimilarity(a, b));
}

// "Page    3 size:  200 x 120 pts" lines of pdfinfo, in page order.
QList<QSizeF> pageSizes(const QString &pdfinfo)
{
    static const QRegularExpression size(
        QStringLiteral("^Page +\\d+ size: +([\\d.]+) x ([\\d.]+) pts"),
        QRegularExpression::MultilineOption);
    QList<QSizeF> sizes;
    for (QRegularExpressionMatchIterator it = size.globalMatch(pdfinfo); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        sizes.append({match.captured(1).toDouble(), match.captured(2).toDouble()});
    }
    return sizes;
}

QString pdfinfoField(const QString &pdfinfo, const QString &field)
{
    const QRegularExpression line(QLatin1Char('^') + field + QStringLiteral(": +(.*)$"),
                                  QRegularExpression::MultilineOption);
    return line.match(pdfinfo).captured(1);
}

} // namespace

class Formats : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void everyFormatTellsTheTextReport_data();
    void everyFormatTellsTheTextReport();
    void pdfHoldsEverySlide_data();
    void pdfHoldsEverySlide();
    void failedRunsPrintNothing_data();
    void failedRunsPrintNothing();
    void pdfInAReadOnlyDirectoryLeavesTheOldOne();
    void pdfOnAFullDiskLeavesNothing();

  private:
    void awkwardPaths();
    RunResult run(const QStringList &arguments) const;
    QByteArray runTool(const QString &program, const QStringList &arguments) const;
    void checkJson(const QByteArray &json, const QByteArray &text, int fps,
                   QJsonArray *segments) const;
    void checkCsv(const QByteArray &out, const QJsonArray &segments) const;
    void checkVtt(const QByteArray &out, const QJsonArray &segments) const;
    void checkChaptersInVideo(const QByteArray &out, const QJsonArray &segments) const;

    QTemporaryDir m_shared; // the source frames and the small video, made once
    QString m_video;
    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every row
    QString m_bin;
};

void Formats::initTestCase()
{
    QVERIFY(m_shared.isValid());
    writeSourceFrames(m_shared.filePath(QStringLiteral("source")), talkFrames());
    m_video = m_shared.filePath(QStringLiteral("talk.mp4"));
    runTool(QStringLiteral("ffmpeg"),
            {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
             QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
             QStringLiteral("color=c=gray:s=64x36:r=10:d=20"), QStringLiteral("-c:v"),
             QStringLiteral("mpeg4"), m_video});
    QVERIFY(QFile::exists(m_video));
}

void Formats::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_bin = m_dir->filePath(QStringLiteral("bin"));
    writeFakeFfmpeg(m_bin, copyFramesBody(m_shared.filePath(QStringLiteral("source"))));
}

RunResult Formats::run(const QStringList &arguments) const
{
    return runStillsift(arguments, m_dir->path(), withoutDisplay(environmentWithPath(m_bin)));
}

QByteArray Formats::runTool(const QString &program, const QStringList &arguments) const
{
    const RunResult result =
        runProgram(program, arguments, m_shared.path(), QProcessEnvironment::systemEnvironment());
    if (result.exitStatus != QProcess::NormalExit || result.exitCode != 0)
        QTest::qFail(
            qPrintable(program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(result.err)),
            __FILE__, __LINE__);
    return result.out;
}

void Formats::awkwardPaths()
{
    QTest::addColumn<int>("fps");
    QTest::addColumn<QString>("outDir");

    const QString awkward = QStringLiteral("Folien, \"Entwurf\" ü");
    QTest::newRow("1 fps, spaces, comma, quotes, non-ASCII") << 1 << awkward;
    QTest::newRow("3 fps, spaces, comma, quotes, non-ASCII") << 3 << awkward;
    QTest::newRow("3 fps, a line break in the path") << 3 << QStringLiteral("zwei\nZeilen, \"x\"");
}

void Formats::everyFormatTellsTheTextReport_data()
{
    awkwardPaths();
}

// A document naming the input and the options, whose segments tell
// exactly what the text report of the same run told.
void Formats::checkJson(const QByteArray &json, const QByteArray &text, int fps,
                        QJsonArray *segments) const
{
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(json, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    QCOMPARE(root.value(QStringLiteral("input")).toString(), QStringLiteral("my talk.mp4"));
    const QJsonObject options = root.value(QStringLiteral("options")).toObject();
    QCOMPARE(options.value(QStringLiteral("detector")).toString(), QStringLiteral("pixel"));
    QCOMPARE(options.value(QStringLiteral("fps")).toInt(), fps);
    QCOMPARE(options.value(QStringLiteral("threshold")).toDouble(), 0.99);
    QCOMPARE(options.value(QStringLiteral("videoChanges")).toInt(), 1);
    QCOMPARE(options.value(QStringLiteral("videoWindow")).toInt(), 2);

    *segments = root.value(QStringLiteral("segments")).toArray();
    QCOMPARE(QString::fromUtf8(textFromJson(*segments, fps)), QString::fromUtf8(text));
    for (const QJsonValue &segment : *segments) {
        QCOMPARE(segment[QStringLiteral("start")].toDouble(),
                 double(segment[QStringLiteral("startFrame")].toInt()) / fps);
        QCOMPARE(segment[QStringLiteral("end")].toDouble(),
                 double(segment[QStringLiteral("endFrame")].toInt() + 1) / fps);
    }
    // What the other formats must agree on: slides on both sides of a video.
    QVERIFY(segments->size() >= 3);
    QCOMPARE(segments->first()[QStringLiteral("kind")].toString(), QStringLiteral("slide"));
    QCOMPARE(segments->last()[QStringLiteral("kind")].toString(), QStringLiteral("slide"));
    QVERIFY(QJsonDocument(*segments).toJson().contains("\"video\""));
}

void Formats::checkCsv(const QByteArray &out, const QJsonArray &segments) const
{
    const std::optional<QList<QStringList>> records = parseCsv(QString::fromUtf8(out));
    QVERIFY2(records, out.constData());
    QCOMPARE(records->size(), segments.size() + 1);
    const QStringList header = records->first();
    QCOMPARE(header, QString::fromLatin1("kind,index,start,end,startFrame,endFrame,image,label")
                         .split(QLatin1Char(',')));
    for (qsizetype i = 0; i < segments.size(); ++i) {
        const QJsonObject segment = segments.at(i).toObject();
        const QStringList record = records->at(i + 1);
        QCOMPARE(record.size(), header.size());
        for (qsizetype column = 0; column < header.size(); ++column) {
            const QJsonValue expected = segment.value(header.at(column));
            if (expected.isDouble())
                QCOMPARE(record.at(column).toDouble(), expected.toDouble());
            else
                QCOMPARE(record.at(column), expected.toString()); // "" where the key is absent
        }
    }
}

void Formats::checkVtt(const QByteArray &out, const QJsonArray &segments) const
{
    const std::optional<QList<Cue>> cues = parseVtt(QString::fromUtf8(out));
    QVERIFY2(cues, out.constData());
    QCOMPARE(cues->size(), segments.size());
    for (qsizetype i = 0; i < cues->size(); ++i) {
        const Cue &cue = cues->at(i);
        const QJsonObject segment = segments.at(i).toObject();
        QCOMPARE(cue.title, chapterTitle(segment));
        QVERIFY(cue.start < cue.end);
        QCOMPARE(cue.start, i == 0 ? 0.0 : cues->at(i - 1).end);
        QVERIFY2(sameMillisecond(cue.start, jsonSeconds(segment, "start")), qPrintable(cue.title));
        QVERIFY2(sameMillisecond(cue.end, jsonSeconds(segment, "end")), qPrintable(cue.title));
    }
}

// Put into a real video by ffmpeg as its documentation says, and read back
// by ffprobe.
void Formats::checkChaptersInVideo(const QByteArray &out, const QJsonArray &segments) const
{
    QVERIFY(out.startsWith(";FFMETADATA1\n"));
    const QString chapters = m_dir->filePath(QStringLiteral("chapters.txt"));
    const QString chaptered = m_dir->filePath(QStringLiteral("chaptered.mp4"));
    writeFile(chapters, out);
    runTool(QStringLiteral("ffmpeg"),
            {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
             QStringLiteral("-i"), m_video, QStringLiteral("-i"), chapters,
             QStringLiteral("-map_metadata"), QStringLiteral("1"), QStringLiteral("-map_chapters"),
             QStringLiteral("1"), QStringLiteral("-c"), QStringLiteral("copy"), chaptered});
    const QJsonArray read =
        QJsonDocument::fromJson(runTool(QStringLiteral("ffprobe"),
                                        {QStringLiteral("-v"), QStringLiteral("error"),
                                         QStringLiteral("-show_chapters"), QStringLiteral("-of"),
                                         QStringLiteral("json"), chaptered}))
            .object()
            .value(QStringLiteral("chapters"))
            .toArray();
    QCOMPARE(read.size(), segments.size());
    for (qsizetype i = 0; i < read.size(); ++i) {
        const QJsonObject chapter = read.at(i).toObject();
        const QJsonObject segment = segments.at(i).toObject();
        QCOMPARE(chapter.value(QStringLiteral("tags")).toObject().value(QStringLiteral("title")),
                 chapterTitle(segment));
        for (const char *key : {"start", "end"}) {
            const double time =
                chapter.value(QLatin1String(key) + QStringLiteral("_time")).toString().toDouble();
            QVERIFY2(sameMillisecond(time, jsonSeconds(segment, key)),
                     qPrintable(QString::number(time)));
        }
    }
}

void Formats::everyFormatTellsTheTextReport()
{
    QFETCH(int, fps);
    QFETCH(QString, outDir);

    const QStringList common =
        QStringList{QStringLiteral("--input=my talk.mp4"), QStringLiteral("--out"), outDir,
                    QStringLiteral("--fps=%1").arg(fps)} +
        detection;
    const auto output = [&](const char *format) {
        const RunResult result =
            run(common + QStringList{QStringLiteral("--format"), QString::fromLatin1(format)});
        if (result.exitCode != 0 || !result.err.isEmpty())
            QTest::qFail(result.err.constData(), __FILE__, __LINE__);
        return result.out;
    };

    const QByteArray text = run(common).out;
    QCOMPARE(output("text"), text);
    QJsonArray segments;
    checkJson(output("json"), text, fps, &segments);
    if (QTest::currentTestFailed())
        return;
    checkCsv(output("csv"), segments);
    checkVtt(output("vtt"), segments);
    checkChaptersInVideo(output("ffmetadata"), segments);
}

void Formats::pdfHoldsEverySlide_data()
{
    awkwardPaths();
}

void Formats::pdfHoldsEverySlide()
{
    QFETCH(int, fps);
    QFETCH(QString, outDir);

    // A PDF of an earlier run is replaced, and nothing else is left beside it.
    const QString pdf = m_dir->filePath(outDir + QStringLiteral(" Folien.pdf"));
    writeFile(pdf, "an earlier run's slides");
    const QStringList before = entriesOf(m_dir->path());
    const RunResult result =
        run(QStringList{QStringLiteral("--input=videos/Vortrag, ü.mp4"), QStringLiteral("--out"),
                        outDir, QStringLiteral("--fps=%1").arg(fps), QStringLiteral("--pdf"), pdf} +
            detection);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    QVERIFY(result.out.contains("video0001"));
    QCOMPARE(entriesOf(m_dir->path()), withEntry(before, outDir));

    const QDir slideDir(m_dir->filePath(outDir));
    const QStringList slides =
        slideDir.entryList({QStringLiteral("slide_*.png")}, QDir::Files, QDir::Name);
    QVERIFY(slides.size() >= 2);
    const QString info = QString::fromUtf8(
        runTool(QStringLiteral("pdfinfo"), {QStringLiteral("-f"), QStringLiteral("1"),
                                            QStringLiteral("-l"), QStringLiteral("1000"), pdf}));
    QCOMPARE(pdfinfoField(info, QStringLiteral("Title")), QStringLiteral("Vortrag, ü.mp4"));
    QCOMPARE(pdfinfoField(info, QStringLiteral("Pages")).toInt(), slides.size());
    const QList<QSizeF> pages = pageSizes(info);
    QCOMPARE(pages.size(), slides.size());

    for (qsizetype i = 0; i < slides.size(); ++i) {
        const QImage slide(slideDir.filePath(slides.at(i)));
        QCOMPARE(slide.size(), frameSize);
        QCOMPARE(pages.at(i).width() * slide.height(), pages.at(i).height() * slide.width());

        // At 72 dots per inch a point of the page is a pixel of the slide.
        // pdftoppm resamples even at that scale, blurring edges a little;
        // pdftocairo shows what the page holds pixel for pixel, so JPEG
        // artefacts would show there.
        const QList<QPair<QString, double>> renderers{{QStringLiteral("pdftoppm"), 6.0},
                                                      {QStringLiteral("pdftocairo"), 0.5}};
        for (const auto &[renderer, largestDifference] : renderers) {
            const QString rendered = m_dir->filePath(renderer);
            runTool(renderer,
                    {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-f"),
                     QString::number(i + 1), QStringLiteral("-l"), QString::number(i + 1),
                     QStringLiteral("-png"), QStringLiteral("-singlefile"), pdf, rendered});
            const QImage page(rendered + QStringLiteral(".png"));
            QCOMPARE(page.size(), slide.size());
            const double difference = meanDifference(page, slide);
            QVERIFY2(difference < largestDifference,
                     qPrintable(QStringLiteral("%1: page %2 differs from %3 by %4")
                                    .arg(renderer)
                                    .arg(i + 1)
                                    .arg(slides.at(i))
                                    .arg(difference)));
            // The bound tells slides apart: the page is not the one before.
            if (i > 0)
                QVERIFY(meanDifference(page, QImage(slideDir.filePath(slides.at(i - 1)))) >
                        largestDifference);
        }
    }
}

void Formats::failedRunsPrintNothing_data()
{
    QTest::addColumn<QByteArray>("ffmpeg");
    QTest::addColumn<QString>("pdf");
    QTest::addColumn<QByteArray>("errorStart");
    QTest::addColumn<bool>("slidesMade");

    const QByteArray copyFrames = copyFramesBody(m_shared.filePath(QStringLiteral("source")));
    QTest::newRow("ffmpeg fails") << QByteArray("exit 3") << QStringLiteral("deck.pdf")
                                  << QByteArray("ffmpeg failed: ffmpeg exited with code 3\n")
                                  << false;
    QTest::newRow("a frame cannot be decoded")
        << QByteArray(copyFrames + "echo broken > \"$(printf -- \"$5\" 5)\"\n")
        << QStringLiteral("deck.pdf") << QByteArray("load slides/frame_000005.png: ") << false;
    // Found before ffmpeg starts: no frame is decoded for nothing.
    QTest::newRow("pdf below a regular file")
        << copyFrames << QStringLiteral("afile/deck.pdf")
        << QByteArray("failed to write afile/deck.pdf: ") << false;
    QTest::newRow("pdf in a directory that does not exist")
        << copyFrames << QStringLiteral("missing/deck.pdf")
        << QByteArray("failed to write missing/deck.pdf: ") << false;
}

void Formats::failedRunsPrintNothing()
{
    QFETCH(QByteArray, ffmpeg);
    QFETCH(QString, pdf);
    QFETCH(QByteArray, errorStart);
    QFETCH(bool, slidesMade);

    writeFakeFfmpeg(m_bin, ffmpeg);
    writeFile(m_dir->filePath(QStringLiteral("afile")), "not a directory");
    const QStringList before = entriesOf(m_dir->path());
    for (const char *format : {"json", "csv", "vtt", "ffmetadata"}) {
        const RunResult result =
            run(QStringList{QStringLiteral("--input=talk.mp4"), QStringLiteral("--pdf"), pdf,
                            QStringLiteral("--format"), QString::fromLatin1(format)} +
                detection);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.out, QByteArray());
        QVERIFY2(result.err.startsWith(errorStart), result.err.constData());
        QVERIFY2(result.err.endsWith('\n') && result.err.count('\n') == 1, result.err.constData());
        // Nothing but the output directory is new: no PDF, no temporary file.
        QCOMPARE(entriesOf(m_dir->path()), withEntry(before, QStringLiteral("slides")));
        QCOMPARE(entriesOf(m_dir->filePath(QStringLiteral("slides")))
                     .contains(QStringLiteral("slide_0001.png")),
                 slidesMade);
    }
}

void Formats::pdfInAReadOnlyDirectoryLeavesTheOldOne()
{
    if (!canRunUnprivileged())
        QSKIP("permission bits deny root nothing, and no unprivileged user is at hand");
    const QString dir = m_dir->filePath(QStringLiteral("handouts"));
    QVERIFY(QDir().mkpath(dir));
    writeFile(QDir(dir).filePath(QStringLiteral("deck.pdf")), "the last talk's slides");
    // The frames must be where the unprivileged user can read them.
    writeSourceFrames(m_dir->filePath(QStringLiteral("source")), talkFrames());
    writeFakeFfmpeg(m_bin, copyFramesBody(m_dir->filePath(QStringLiteral("source"))));
    QVERIFY(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner));

    const RunResult result = runStillsiftUnprivileged(
        {QStringLiteral("--input=talk.mp4"), QStringLiteral("--format=json"),
         QStringLiteral("--pdf=handouts/deck.pdf")},
        m_dir->path(), withoutDisplay(environmentWithPath(m_bin)));
    QVERIFY(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(result.err.startsWith("failed to write handouts/deck.pdf: "), result.err.constData());
    QCOMPARE(entriesOf(dir), QStringList{QStringLiteral("deck.pdf")});
    QCOMPARE(readFile(QDir(dir).filePath(QStringLiteral("deck.pdf"))),
             QByteArray("the last talk's slides"));
}

void Formats::pdfOnAFullDiskLeavesNothing()
{
    const QString dir = m_dir->filePath(QStringLiteral("handouts"));
    QVERIFY(QDir().mkpath(dir));
    if (geteuid() != 0 ||
        mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("cannot mount a small file system here");
    // Filled to the last byte: the PDF can be opened, but not one page fits.
    QFile filler(QDir(dir).filePath(QStringLiteral("filler")));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();
    writeFakeFfmpeg(m_bin, copyFramesBody(m_shared.filePath(QStringLiteral("source"))));

    const RunResult result = run(
        QStringList{QStringLiteral("--input=talk.mp4"), QStringLiteral("--pdf=handouts/deck.pdf")} +
        detection);
    const QStringList after = entriesOf(dir);
    QVERIFY(umount(QFile::encodeName(dir).constData()) == 0);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err,
             QByteArray("failed to write handouts/deck.pdf: No space left on device\n"));
    QCOMPARE(after, QStringList{QStringLiteral("filler")});
}

QTEST_GUILESS_MAIN(Formats)
#include "tst_formats.moc"
