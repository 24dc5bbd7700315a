#include "app.h"
#include "frames.h"
#include "output.h"

#include <QFile>
#include <QObject>

#include <map>

namespace
{

// Every slide the walk closes gets its record here, numbered in time order,
// before the slide stages fill in what they decide.
SlideSink recordingSlides(QList<SlideRecord> *slides, RecordSink stages)
{
    return [slides, stages = std::move(stages)](const Segment &segment, const QImage &picture) {
        slides->append({segment, int(slides->size()) + 1});
        return !stages || stages(slides->last(), picture);
    };
}

// The records of the whole talk: the walk hands over every slide segment as
// it appends it, so the slides' records come in the timeline's order;
// videos are numbered apart.
QList<SlideRecord> talkRecords(const Timeline &timeline, const QList<SlideRecord> &slides)
{
    QList<SlideRecord> records;
    records.reserve(timeline.segments.size());
    auto slide = slides.cbegin();
    int videos = 0;
    for (const Segment &segment : timeline.segments) {
        if (segment.isVideo) {
            records.append({segment, ++videos});
        } else {
            Q_ASSERT(slide != slides.cend() && slide->segment.startFrame == segment.startFrame);
            records.append(*slide++);
        }
    }
    return records;
}

// The walk stops at the first failure: a crop rectangle the picture does
// not hold, a slide that cannot be written (which can also come after the
// walk, from the writer behind it), or a frame that cannot be had.
std::optional<RunError> walkFailure(const SlideImaging &imaging, const SlideFailure &slideFailure,
                                    const std::function<RunError()> &framesFailure)
{
    if (imaging.crop.outsidePicture)
        return RunError{RunError::Crop, {}, {}};
    if (!slideFailure.path.isEmpty())
        return RunError{RunError::WriteSlide, slideFailure.path, slideFailure.error};
    return framesFailure();
}

// Removes every frame file; one that cannot be deleted only costs disk
// space.
void removeFrames(const QStringList &paths)
{
    for (const QString &path : paths)
        QFile::remove(path);
}

} // namespace

QString errorMessage(const RunError &error)
{
    switch (error.stage) {
    case RunError::Extract:
        return QObject::tr("ffmpeg failed: %1\n").arg(error.reason);
    case RunError::NoFrames:
        return QObject::tr("no frames extracted\n");
    case RunError::LoadFrame:
        return QObject::tr("load %1: %2\n").arg(error.path, error.reason);
    case RunError::FfmpegOutput:
        return QObject::tr("ffmpeg output unreadable: %1\n").arg(error.reason);
    case RunError::Crop:
        return QObject::tr("Invalid crop value\n");
    case RunError::WriteSlide:
    case RunError::WriteFile:
        return QObject::tr("failed to write %1: %2\n").arg(error.path, error.reason);
    case RunError::RenameFrame:
        return QObject::tr("failed to rename %1 to %2\n").arg(error.path, error.reason);
    case RunError::Decode:
        return QObject::tr("cannot decode %1: %2\n").arg(error.path, error.reason);
    case RunError::ReadWords:
        return QObject::tr("OCR failed: %1\n").arg(error.reason);
    }
    return error.reason;
}

std::optional<RunError> walkTalk(FrameFeed feed, const RunOptions &options, Talk *talk)
{
    SlideImaging imaging;
    SlideFailure slideFailure;
    QList<SlideRecord> slides;
    std::shared_ptr<SlideReader> reader = startReading(options);
    bool walked = false;
    {
        // The frame source and the slide stages go at the end of this
        // block: the decoding threads, ffmpeg and the slide writer have all
        // stopped before anything is reported. The source is made before
        // the stages, which clean with the frames it holds.
        const FrameSource frames =
            imagingFrames(stopOnInterrupt(std::move(feed.frames)), options, &imaging);
        // Each slide's words are read from its picture as it goes to be
        // written, on the reader's threads while the walk goes on.
        const RecordSink stages =
            encodesSlides(options) || !feed.framesAreFiles
                ? imagingStages(readingSlides(describingSlides(
                                                  slideWriter(QDir(options.outDir), &slideFailure),
                                                  options, &talk->looks),
                                              reader),
                                options, imaging)
                : readingSlides(describingSlides(RecordSink(), options, &talk->looks), reader);
        walked = segmentTimeline(frames, detectOptions(options), &talk->timeline,
                                 recordingSlides(&slides, stages));
    }
    if (!walked || !slideFailure.path.isEmpty()) {
        // A reader that failed refused the slide that stopped the walk.
        QString readerFailure;
        std::map<int, QString> unused;
        if (reader && !finishReading(std::move(reader), &unused, &readerFailure) &&
            !readerFailure.isEmpty())
            return RunError{RunError::ReadWords, {}, readerFailure};
        return walkFailure(imaging, slideFailure, feed.failure);
    }
    talk->records = talkRecords(talk->timeline, slides);
    return wordsRead(std::move(reader), &talk->records);
}

std::optional<RunError> talkFromFrameFiles(const RunOptions &options, Talk *talk)
{
    QString failure;
    if (!extractFrames(options.input, options.outDir, options.fps, &failure))
        return RunError{RunError::Extract, {}, failure};
    ignoreBrokenPipe();

    const QDir outDir(options.outDir);
    const QStringList paths = listFrames(outDir);
    if (paths.isEmpty())
        return RunError{RunError::NoFrames, {}, {}};
    LoadFailure loadFailure;
    FrameFeed feed{withProgress(loadFrames(paths, &loadFailure), int(paths.size())),
                   [&loadFailure] {
                       return RunError{RunError::LoadFrame, loadFailure.path, loadFailure.error};
                   },
                   true};
    if (const std::optional<RunError> error = walkTalk(std::move(feed), options, talk))
        return error;
    if (interruptSignal() != 0)
        return std::nullopt;
    // Slides written as pictures of their own leave every frame file behind;
    // otherwise the kept frames become the slide files.
    if (encodesSlides(options)) {
        removeFrames(paths);
        return std::nullopt;
    }
    RenameFailure renameFailure;
    if (!exportSlides(paths, outDir, &talk->records, &renameFailure))
        return RunError{RunError::RenameFrame, renameFailure.from, renameFailure.to};
    return std::nullopt;
}

std::optional<RunError> talkThroughPipe(const RunOptions &options, Talk *talk)
{
    PipeFailure pipeFailure;
    FrameSource frames = pipeFrames(options.input, options.fps, &pipeFailure);
    ignoreBrokenPipe(); // only now: ffmpeg has started with the default handling
    FrameFeed feed{withVideoTimeProgress(std::move(frames), options.input, options.fps),
                   [&pipeFailure] {
                       if (!pipeFailure.ffmpegFailure.isEmpty())
                           return RunError{RunError::Extract, {}, pipeFailure.ffmpegFailure};
                       return RunError{RunError::FfmpegOutput, {}, pipeFailure.outputFailure};
                   }};
    if (const std::optional<RunError> error = walkTalk(std::move(feed), options, talk))
        return error;
    if (talk->timeline.segments.isEmpty() && interruptSignal() == 0)
        return RunError{RunError::NoFrames, {}, {}};
    return std::nullopt;
}

std::optional<RunError> talkDecoded(const RunOptions &options, Talk *talk)
{
    DecodeFailure failure;
    DecodeCounts counts;
    const bool skim = qEnvironmentVariable("STILLSIFT_SKIM") != QLatin1String("whole");
    FrameSource frames = decodedFrames(options.input, options.fps, skim, &failure, &counts);
    ignoreBrokenPipe();
    FrameFeed feed{withVideoTimeProgress(std::move(frames), options.input, options.fps),
                   [&failure, &options] {
                       return RunError{RunError::Decode, options.input, failure.reason};
                   }};
    if (const std::optional<RunError> error = walkTalk(std::move(feed), options, talk))
        return error;
    if (qEnvironmentVariableIsSet("STILLSIFT_SKIM_COUNTS"))
        writeMessage(QObject::tr("decoded %1 of %2 frames\n")
                         .arg(counts.framesDecoded)
                         .arg(counts.framesInVideo));
    if (talk->timeline.segments.isEmpty() && interruptSignal() == 0)
        return RunError{RunError::NoFrames, {}, {}};
    return std::nullopt;
}
