#include "app.h"
#include "ocr.h"
#include "output.h"

#include <QList>

#include <map>

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

} // namespace

std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv)
{
    if (!asksFor(argc, argv, "--ocr") || !asksFor(argc, argv, "--pdf"))
        return std::make_unique<QCoreApplication>(argc, argv);
    // Fonts come with a platform; the offscreen one needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QGuiApplication>(argc, argv);
}

std::shared_ptr<SlideReader> startReading(const RunOptions &options)
{
    // With a deck most slides take their page's own words: only those no
    // page shows are read, once the pages are matched after the walk.
    if (options.ocrLanguages.isEmpty() || !options.deckPath.isEmpty())
        return nullptr;
    return startSlideReader(options.ocrLanguages, {stopAsked, {}});
}

RecordSink readingSlides(RecordSink next, std::shared_ptr<SlideReader> reader)
{
    if (!reader)
        return next;
    return [next = std::move(next), reader](SlideRecord &slide, const QImage &picture) {
        return readLater(*reader, slide.number, picture) && (!next || next(slide, picture));
    };
}

std::optional<RunError> wordsRead(std::shared_ptr<SlideReader> reader, QList<SlideRecord> *records)
{
    if (!reader)
        return std::nullopt;
    std::map<int, QString> texts;
    QString failure;
    {
        // The slides read while the walk went on leave only the last few.
        const std::function<void(int)> progress = countingProgress(
            QObject::tr("Reading slides"),
            int(std::count_if(records->cbegin(), records->cend(), [](const SlideRecord &record) {
                return !record.isVideo() && record.repeatOf == 0;
            })));
        progress(0);
        if (!finishReading(std::move(reader), &texts, &failure))
            return failure.isEmpty() ? std::nullopt
                                     : std::optional(RunError{RunError::ReadWords, {}, failure});
    }
    // A repeat shows the picture of the slide it repeats, read once.
    for (SlideRecord &record : *records) {
        if (!record.isVideo())
            record.text = texts[record.repeatOf > 0 ? record.repeatOf : record.number];
    }
    return std::nullopt;
}

std::optional<RunError> readSlidesWithoutPage(const RunOptions &options,
                                              QList<SlideRecord> *records)
{
    if (options.ocrLanguages.isEmpty() || options.deckPath.isEmpty())
        return std::nullopt;
    QList<int> numbers;
    QStringList images;
    for (const SlideRecord &record : *records) {
        if (!record.isVideo() && record.repeatOf == 0 && !record.page && !record.image.isEmpty()) {
            numbers.append(record.number);
            images.append(record.image);
        }
    }
    QStringList texts;
    QString failure;
    if (!images.isEmpty() &&
        !readSlideTexts(
            images, options.ocrLanguages,
            {stopAsked, countingProgress(QObject::tr("Reading slides"), int(images.size()))},
            &texts, &failure))
        return failure.isEmpty() ? std::nullopt
                                 : std::optional(RunError{RunError::ReadWords, {}, failure});
    std::map<int, QString> read;
    for (int k = 0; k < numbers.size(); ++k)
        read[numbers[k]] = texts[k];
    for (SlideRecord &record : *records) {
        if (record.isVideo() || record.page)
            continue;
        const int shown = record.repeatOf > 0 ? record.repeatOf : record.number;
        const auto text = read.find(shown);
        if (text != read.end())
            record.text = text->second;
    }
    return std::nullopt;
}

std::optional<RunError> writeReadingAids(const RunOptions &options, Talk *talk, RunSummary *run)
{
    run->textsRead = !options.ocrLanguages.isEmpty();
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
