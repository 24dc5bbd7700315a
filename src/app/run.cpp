#include "app.h"
#include "frames.h"
#include "output.h"

#include <QFile>
#include <QObject>

namespace
{

// A failure that an interrupt caused (ffmpeg killed, the walk stopped) is
// not reported: the interrupted run says only that.
bool fail(const QString &message)
{
    if (interruptSignal() == 0)
        writeMessage(message);
    return false;
}

// The frame files walked as the slide-image options want them, each slide
// written as the walk closes it; every frame file goes afterwards.
bool encodedSlidesFromFrameFiles(const RunOptions &options, const QStringList &paths,
                                 Timeline *timeline)
{
    LoadFailure loadFailure;
    SlideFailure slideFailure;
    SlideImaging imaging;
    bool walked = false;
    {
        // The frame source goes at the end of this block, so its decoding
        // threads have stopped before anything is reported or deleted. It
        // is made before the sink, which cleans with the frames it holds.
        const FrameSource frames = imagingFrames(
            stopOnInterrupt(withProgress(loadFrames(paths, &loadFailure), int(paths.size()))),
            options, &imaging);
        walked = segmentTimeline(
            frames, detectOptions(options), timeline,
            imagingSink(slideWriter(QDir(options.outDir), &slideFailure), options, &imaging));
    }
    // A slide written behind the walk can fail after the walk has ended.
    if (!walked || !slideFailure.path.isEmpty()) {
        if (interruptSignal() != 0 || reportCropFailure(imaging))
            return false;
        if (!slideFailure.path.isEmpty())
            return fail(
                QObject::tr("failed to write %1: %2\n").arg(slideFailure.path, slideFailure.error));
        return fail(QObject::tr("load %1: %2\n").arg(loadFailure.path, loadFailure.error));
    }
    // A frame that cannot be deleted only costs disk space.
    for (const QString &path : paths)
        QFile::remove(path);
    markRepeats(timeline, imaging);
    return interruptSignal() == 0;
}

} // namespace

bool slidesFromFrameFiles(const RunOptions &options, Timeline *timeline)
{
    QString failure;
    if (!extractFrames(options.input, options.outDir, options.fps, &failure))
        return fail(QObject::tr("ffmpeg failed: %1\n").arg(failure));
    ignoreBrokenPipe();

    const QDir outDir(options.outDir);
    const QStringList paths = listFrames(outDir);
    if (paths.isEmpty())
        return fail(QObject::tr("no frames extracted\n"));
    if (encodesSlides(options))
        return encodedSlidesFromFrameFiles(options, paths, timeline);

    LoadFailure loadFailure;
    // The frame source is a temporary, so its decoding threads have stopped
    // before anything is reported, renamed or deleted.
    if (!segmentTimeline(
            stopOnInterrupt(withProgress(loadFrames(paths, &loadFailure), int(paths.size()))),
            detectOptions(options), timeline))
        return fail(QObject::tr("load %1: %2\n").arg(loadFailure.path, loadFailure.error));
    return interruptSignal() == 0 && exportSlides(paths, timeline->keepSet, outDir);
}

namespace
{

// The walk stops at the first failure, so one of them is set.
void reportPipeRunFailure(const PipeFailure &pipeFailure, const SlideFailure &slideFailure)
{
    if (interruptSignal() != 0)
        return;
    if (!slideFailure.path.isEmpty())
        writeMessage(
            QObject::tr("failed to write %1: %2\n").arg(slideFailure.path, slideFailure.error));
    else if (!pipeFailure.ffmpegFailure.isEmpty())
        writeMessage(QObject::tr("ffmpeg failed: %1\n").arg(pipeFailure.ffmpegFailure));
    else
        writeMessage(QObject::tr("ffmpeg output unreadable: %1\n").arg(pipeFailure.outputFailure));
}

} // namespace

bool slidesThroughPipe(const RunOptions &options, Timeline *timeline)
{
    PipeFailure pipeFailure;
    SlideFailure slideFailure;
    SlideImaging imaging;
    bool walked = false;
    {
        // ffmpeg, the reader thread and the progress line all go with the
        // frame source at the end of this block, before anything is reported.
        FrameSource frames = pipeFrames(options.input, options.fps, &pipeFailure);
        ignoreBrokenPipe(); // only now: ffmpeg has started with the default handling
        // Made before the sink, which cleans with the frames it holds.
        const FrameSource imaged = imagingFrames(
            stopOnInterrupt(withVideoTimeProgress(frames, options.input, options.fps)), options,
            &imaging);
        walked = segmentTimeline(
            imaged, detectOptions(options), timeline,
            imagingSink(slideWriter(QDir(options.outDir), &slideFailure), options, &imaging));
    }
    // A slide written behind the walk can fail after the walk has ended.
    if (!walked || !slideFailure.path.isEmpty()) {
        if (interruptSignal() == 0 && !reportCropFailure(imaging))
            reportPipeRunFailure(pipeFailure, slideFailure);
        return false;
    }
    markRepeats(timeline, imaging);
    if (timeline->segments.isEmpty())
        return fail(QObject::tr("no frames extracted\n"));
    return interruptSignal() == 0;
}
