#include "app.h"
#include "ocr.h"
#include "output.h"

#include <QList>

#include <QFileInfo>
#include <QGuiApplication>
#include <QObject>

#include <algorithm>
#include <cstring>

namespace
{

// Looked for before the parser runs, which needs the application object.
bool asksFor(int argc, char **argv, const char *option)
{
    const size_t length = std::strlen(option);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], option, length) == 0 &&
            (argv[i][length] == '\0' || argv[i][length] == '='))
            return true;
    }
    return false;
}

int pictureCount(const QList<SlideRecord> &records)
{
    return int(std::count_if(records.cbegin(), records.cend(), [](const SlideRecord &record) {
        return !record.isVideo() && record.repeatOf == 0;
    }));
}

bool stopAsked()
{
    return interruptSignal() != 0;
}

// Each picture is read once: a repeat takes the words of the slide whose
// file it shows.
std::optional<RunError> readTexts(const RunOptions &options, QList<SlideRecord> *records)
{
    QStringList images;
    for (const SlideRecord &record : *records) {
        if (!record.isVideo() && record.repeatOf == 0)
            images.append(record.image);
    }
    QStringList texts;
    QString failure;
    const OcrControl control{stopAsked,
                             countingProgress(QObject::tr("Reading slides"), int(images.size()))};
    if (!readSlideTexts(images, options.ocrLanguages, control, &texts, &failure))
        return failure.isEmpty() ? std::nullopt
                                 : std::optional(RunError{RunError::ReadWords, {}, failure});
    qsizetype nextText = 0;
    QStringList bySlideNumber;
    for (SlideRecord &record : *records) {
        if (record.isVideo())
            continue;
        record.text =
            record.repeatOf == 0 ? texts.at(nextText++) : bySlideNumber.value(record.repeatOf - 1);
        bySlideNumber.append(record.text);
    }
    return std::nullopt;
}

} // namespace

std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv)
{
    if (!asksFor(argc, argv, "--ocr") || !asksFor(argc, argv, "--pdf"))
        return std::make_unique<QCoreApplication>(argc, argv);
    // Fonts come with a platform; the offscreen one needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QGuiApplication>(argc, argv);
}

std::optional<RunError> writeReadingAids(const RunOptions &options, Talk *talk, RunSummary *run)
{
    if (!options.ocrLanguages.isEmpty()) {
        if (const std::optional<RunError> error = readTexts(options, &talk->records))
            return error;
        if (stopAsked())
            return std::nullopt;
        run->textsRead = true;
    }
    QString failure;
    if (!options.pdfPath.isEmpty() &&
        !writeSlidesPdf(options.pdfPath, talk->records, QFileInfo(options.input).fileName(),
                        {stopAsked, countingProgress(QObject::tr("Writing the PDF"),
                                                     pictureCount(talk->records))},
                        &failure))
        return stopAsked() ? std::nullopt
                           : std::optional(RunError{RunError::WriteFile, options.pdfPath, failure});
    if (!options.htmlPath.isEmpty() &&
        !writeHtmlPage(options.htmlPath, talk->records, options.fps, *run, stopAsked, &failure))
        return stopAsked()
                   ? std::nullopt
                   : std::optional(RunError{RunError::WriteFile, options.htmlPath, failure});
    return std::nullopt;
}
