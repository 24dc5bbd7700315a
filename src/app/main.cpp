// stillsift: turns a video of a slide presentation into a folder of slide
// images and a timeline on standard output.
#include "app.h"
#include "detect.h"
#include "frames.h"
#include "output.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QObject>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    silenceQtDiagnostics();
    QCoreApplication::setApplicationName(QStringLiteral("stillsift"));

    QCommandLineParser parser;
    parseCommandLine(parser, QCoreApplication::arguments());
    const std::optional<RunOptions> options = validateOptions(parser);
    if (!options)
        return 1;

    QString failure;
    if (!extractFrames(options->input, options->outDir, options->fps, &failure)) {
        writeMessage(QObject::tr("ffmpeg failed: %1\n").arg(failure));
        return 1;
    }
    ignoreBrokenPipe();

    const QDir outDir(options->outDir);
    const QStringList paths = listFrames(outDir);
    if (paths.isEmpty()) {
        writeMessage(QObject::tr("no frames extracted\n"));
        return 1;
    }

    LoadFailure loadFailure;
    Timeline timeline;
    // The frame source is a temporary, so its decoding threads have stopped
    // before anything is reported, renamed or deleted.
    if (!segmentTimeline(withProgress(loadFrames(paths, &loadFailure), int(paths.size())),
                         detectOptions(*options), &timeline)) {
        writeMessage(QObject::tr("load %1: %2\n").arg(loadFailure.path, loadFailure.error));
        return 1;
    }

    if (!exportSlides(paths, timeline.keepSet, outDir))
        return 1;
    // The PDF comes before the report: a run whose PDF failed prints no
    // timeline, as after any other failure.
    if (!options->pdfPath.isEmpty() &&
        !writeSlidesPdf(options->pdfPath, timeline.segments, outDir,
                        QFileInfo(options->input).fileName(), &failure)) {
        writeMessage(QObject::tr("failed to write %1: %2\n").arg(options->pdfPath, failure));
        return 1;
    }
    printReport(options->format, timeline.segments, options->fps, outDir, runSummary(*options));
    return 0;
}
