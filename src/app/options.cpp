#include "app.h"
#include "output.h"

#include <QCommandLineOption>
#include <QJsonObject>
#include <QObject>

namespace
{

QCommandLineOption valueOption(const char *name, const char *valueName, const char *description,
                               const char *defaultValue)
{
    return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(description),
                              QString::fromLatin1(valueName), QString::fromLatin1(defaultValue));
}

// A whole decimal number that fits an int, or nothing.
std::optional<int> toInt(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

std::optional<RunOptions> reject(const QString &message)
{
    writeMessage(message);
    return std::nullopt;
}

} // namespace

void declareOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("Detect slide changes and export key frames"));
    parser.addHelpOption();
    // Created and added in this order, so the help lists them so.
    parser.addOption(valueOption("input", "file", "Video file to process", ""));
    parser.addOption(valueOption("out", "dir", "Directory for slide images", "slides"));
    parser.addOption(valueOption("fps", "fps", "Frames per second to sample", "1"));
    parser.addOption(valueOption("threshold", "value", "Similarity threshold", "0.99"));
    parser.addOption(
        valueOption("video-changes", "count", "Changes required to enter video mode", "5"));
    parser.addOption(
        valueOption("video-window", "seconds", "Window in seconds for video detection", "15"));
    parser.addOption(valueOption("format", "format",
                                 "Timeline format: text, json, csv, vtt, ffmetadata or markdown",
                                 "text"));
    parser.addOption(valueOption("pdf", "file", "Also write the slides as one PDF file", ""));
    parser.addOption(QCommandLineOption(
        QStringLiteral("pipe"),
        QStringLiteral("Read frames from ffmpeg through a pipe instead of frame files")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("skim"),
        QStringLiteral("Decode the video in the process, only where the picture can change")));
    parser.addOption(valueOption("detector", "name", "Slide detector: pixel or robust", "pixel"));
    parser.addOption(valueOption("crop", "auto|X,Y,W,H",
                                 "Cut each slide image to the slide found in the picture, or to "
                                 "a rectangle of it; the detection looks only there",
                                 ""));
    parser.addOption(QCommandLineOption(
        QStringLiteral("dedupe"),
        QStringLiteral("Write a slide shown again only once; its repeats name the first file")));
    parser.addOption(valueOption("html", "file", "Also write a page for reading the talk", ""));
    parser.addOption(valueOption("ocr", "lang",
                                 "Read the words on the slides in these Tesseract languages, "
                                 "such as eng or eng+deu",
                                 ""));
    parser.addOption(valueOption("deck", "file.pdf",
                                 "Match each slide to the page of this PDF deck it shows", ""));
    parser.addOption(QCommandLineOption(
        QStringLiteral("deck-images"),
        QStringLiteral("Write the deck's page as the slide file of each matched slide")));
    parser.addOption(valueOption("subtitles", "file|auto",
                                 "Give each slide the words spoken while it showed, from a "
                                 "subtitle file or the video's own subtitles",
                                 ""));
}

void parseCommandLine(QCommandLineParser &parser, const QStringList &arguments)
{
    declareOptions(parser);
    parser.process(arguments);

    if (parser.value(QStringLiteral("input")).isEmpty()) {
        writeMessage(QObject::tr("Usage: stillsift --input file [--out DIR] [--fps N]\n"));
        parser.showHelp(1);
    }
}

std::optional<RunOptions> validateOptions(const QCommandLineParser &parser)
{
    RunOptions options;
    options.input = parser.value(QStringLiteral("input"));
    options.outDir = parser.value(QStringLiteral("out"));
    options.pipe = parser.isSet(QStringLiteral("pipe"));
    options.skim = parser.isSet(QStringLiteral("skim"));

    const std::optional<int> fps = toInt(parser.value(QStringLiteral("fps")));
    if (!fps || *fps <= 0)
        return reject(QObject::tr("Invalid fps value\n"));
    options.fps = *fps;

    bool ok = false;
    options.threshold = parser.value(QStringLiteral("threshold")).toDouble(&ok);
    if (!ok)
        return reject(QObject::tr("Invalid threshold value\n"));

    const std::optional<int> videoChanges = toInt(parser.value(QStringLiteral("video-changes")));
    if (!videoChanges || *videoChanges < 0)
        return reject(QObject::tr("Invalid video-changes value\n"));
    options.videoChanges = *videoChanges;

    const std::optional<int> videoWindow = toInt(parser.value(QStringLiteral("video-window")));
    if (!videoWindow || *videoWindow <= 0)
        return reject(QObject::tr("Invalid video-window value\n"));
    options.videoWindow = *videoWindow;

    const std::optional<ReportFormat> format =
        reportFormatNamed(parser.value(QStringLiteral("format")));
    if (!format)
        return reject(QObject::tr("Invalid format value\n"));
    options.format = *format;

    // An empty value asks for nothing, as if the option were not given.
    options.pdfPath = parser.value(QStringLiteral("pdf"));

    const QString detector = parser.value(QStringLiteral("detector"));
    if (detector == QLatin1String("robust"))
        options.detector = Detector::Robust;
    else if (detector != QLatin1String("pixel"))
        return reject(QObject::tr("Invalid detector value\n"));

    const QString crop = parser.value(QStringLiteral("crop"));
    if (!crop.isEmpty()) {
        const std::optional<CropRequest> request = cropRequestNamed(crop);
        if (!request)
            return reject(QObject::tr("Invalid crop value\n"));
        options.crop = *request;
    }
    options.dedupe = parser.isSet(QStringLiteral("dedupe"));
    // Empty values ask for nothing, as if the options were not given.
    options.htmlPath = parser.value(QStringLiteral("html"));
    options.ocrLanguages = parser.value(QStringLiteral("ocr"));
    options.deckPath = parser.value(QStringLiteral("deck"));
    options.deckImages = parser.isSet(QStringLiteral("deck-images"));
    if (options.deckImages && options.deckPath.isEmpty())
        return reject(QObject::tr("--deck-images needs --deck\n"));
    options.subtitles = parser.value(QStringLiteral("subtitles"));

    return options;
}

DetectOptions detectOptions(const RunOptions &options)
{
    return {options.detector, options.fps, options.threshold, options.videoChanges,
            options.videoWindow};
}

RunSummary runSummary(const RunOptions &options)
{
    QJsonObject used{{QStringLiteral("detector"), options.detector == Detector::Robust
                                                      ? QStringLiteral("robust")
                                                      : QStringLiteral("pixel")},
                     {QStringLiteral("fps"), options.fps},
                     {QStringLiteral("threshold"), options.threshold},
                     {QStringLiteral("videoChanges"), options.videoChanges},
                     {QStringLiteral("videoWindow"), options.videoWindow}};
    // Told only when given, so a run without them reports as before.
    if (options.crop.automatic || !options.crop.rect.isNull()) {
        const QRect &r = options.crop.rect;
        used.insert(QStringLiteral("crop"), options.crop.automatic ? QStringLiteral("auto")
                                                                   : QStringLiteral("%1,%2,%3,%4")
                                                                         .arg(r.x())
                                                                         .arg(r.y())
                                                                         .arg(r.width())
                                                                         .arg(r.height()));
    }
    if (options.dedupe)
        used.insert(QStringLiteral("dedupe"), true);
    if (!options.deckPath.isEmpty())
        used.insert(QStringLiteral("deck"), options.deckPath);
    if (options.deckImages)
        used.insert(QStringLiteral("deckImages"), true);
    RunSummary run;
    run.input = options.input;
    run.options = used;
    run.speechGiven = !options.subtitles.isEmpty();
    return run;
}
