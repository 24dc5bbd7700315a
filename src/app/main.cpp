// stillsift: turns a video of a slide presentation into a folder of slide
// images and a timeline on standard output.
#include "app.h"
#include "ocr.h"
#include "output.h"

#include <QObject>

int main(int argc, char *argv[])
{
    // Before the application: a GUI one has its say as it starts.
    silenceQtDiagnostics();
    const std::unique_ptr<QCoreApplication> app = makeApplication(argc, argv);
    catchInterrupts();
    QCoreApplication::setApplicationName(QStringLiteral("stillsift"));

    QCommandLineParser parser;
    parseCommandLine(parser, QCoreApplication::arguments());
    const std::optional<RunOptions> options = validateOptions(parser);
    if (!options)
        return 1;
    QString missingLanguage;
    if (!options->ocrLanguages.isEmpty() &&
        !ocrLanguagesAvailable(options->ocrLanguages, &missingLanguage)) {
        writeMessage(QObject::tr("OCR language not available: %1\n").arg(missingLanguage));
        return 1;
    }

    DirectoryLock outDirLock;
    if (!claimOutputDirectory(options->outDir, &outDirLock))
        return 1;

    Timeline timeline;
    const bool done = options->pipe ? slidesThroughPipe(*options, &timeline)
                                    : slidesFromFrameFiles(*options, &timeline);
    if (interruptSignal() != 0)
        return endInterrupted(options->outDir);
    if (!done)
        return 1;

    // The PDF and the page come before the report: a run that failed to
    // write them prints no timeline, as after any other failure.
    RunSummary run = runSummary(*options);
    if (!writeReadingAids(*options, timeline.segments, &run))
        return 1;
    if (interruptSignal() != 0)
        return endInterrupted(options->outDir);
    printReport(options->format, timeline.segments, options->fps, QDir(options->outDir), run);
    return 0;
}
