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
    keepFreedMemory();
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

    // Before anything is written: subtitles that cannot be read end the run.
    QList<Cue> spoken;
    if (!loadSubtitlesAsked(*options, &spoken))
        return interruptSignal() != 0 ? endInterrupted(QString()) : 1;

    // Before the output folder is touched and ffmpeg starts: a deck that
    // cannot be read ends the run with nothing done.
    Deck deck;
    if (!loadDeckAsked(*options, &deck))
        return 1;

    DirectoryLock outDirLock;
    if (!claimOutputDirectory(options->outDir, &outDirLock))
        return 1;
    // After the output folder is made: the PDF or the page may go in it.
    if (!outputFilesWritable(*options))
        return 1;

    Talk talk;
    std::optional<RunError> failure = options->skim   ? talkDecoded(*options, &talk)
                                      : options->pipe ? talkThroughPipe(*options, &talk)
                                                      : talkFromFrameFiles(*options, &talk);
    // The PDF and the page come before the report: a run that failed to
    // write them prints no timeline, as after any other failure.
    RunSummary run = runSummary(*options);
    if (!failure)
        attachSpeech(spoken, options->fps, &talk.records);
    if (!failure && interruptSignal() == 0)
        failure = matchTalkToDeck(*options, deck, &talk, &run);
    if (!failure && interruptSignal() == 0)
        failure = readSlidesWithoutPage(*options, &talk.records);
    if (!failure && interruptSignal() == 0)
        failure = writeReadingAids(*options, &talk, &run);
    // A failure that an interrupt caused (ffmpeg killed, the walk stopped)
    // is not told: the interrupted run says only that.
    if (interruptSignal() != 0)
        return endInterrupted(options->outDir);
    if (failure) {
        writeMessage(errorMessage(*failure));
        return 1;
    }
    printReport(options->format, talk.records, options->fps, run);
    return 0;
}
