// stillsift: turns a video of a slide presentation into a folder of slide
// images and a timeline on standard output.
#include "app.h"
#include "output.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QObject>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    silenceQtDiagnostics();
    catchInterrupts();
    QCoreApplication::setApplicationName(QStringLiteral("stillsift"));

    QCommandLineParser parser;
    parseCommandLine(parser, QCoreApplication::arguments());
    const std::optional<RunOptions> options = validateOptions(parser);
    if (!options)
        return 1;

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

    const QDir outDir(options->outDir);
    // The PDF comes before the report: a run whose PDF failed prints no
    // timeline, as after any other failure.
    QString failure;
    if (!options->pdfPath.isEmpty() &&
        !writeSlidesPdf(options->pdfPath, timeline.segments, outDir,
                        QFileInfo(options->input).fileName(), &failure)) {
        writeMessage(QObject::tr("failed to write %1: %2\n").arg(options->pdfPath, failure));
        return 1;
    }
    if (interruptSignal() != 0)
        return endInterrupted(options->outDir);
    printReport(options->format, timeline.segments, options->fps, outDir, runSummary(*options));
    return 0;
}
