#include "app.h"

#include <QObject>

namespace
{

// The first slide in which no region is found is told once it is handed on.
RecordSink tellingWholeFrame(RecordSink stages, const CropReport *crop)
{
    auto told = std::make_shared<bool>(false);
    return [stages = std::move(stages), crop, told](SlideRecord &slide, const QImage &picture) {
        const bool stored = stages(slide, picture);
        if (crop->wholeFrameUsed && !*told) {
            *told = true;
            writeMessage(QObject::tr("no slide found in the picture: using the whole frame\n"));
        }
        return stored;
    };
}

bool cleansSlides(const RunOptions &options)
{
    return options.detector == Detector::Robust && encodesSlides(options);
}

} // namespace

bool encodesSlides(const RunOptions &options)
{
    return options.crop.automatic || !options.crop.rect.isNull() || options.dedupe;
}

FrameSource imagingFrames(FrameSource frames, const RunOptions &options, SlideImaging *imaging)
{
    FrameSource cropped = croppedFrames(std::move(frames), options.crop, &imaging->crop);
    if (options.crop.automatic)
        imaging->cutter = slideCutter(&imaging->crop);
    if (!cleansSlides(options) && !imaging->cutter)
        return cropped;
    imaging->settled = settledFrames(framesHeldForCleaning);
    imaging->cleans = cleansSlides(options);
    return keepingSettledFrames(std::move(cropped), imaging->settled);
}

RecordSink imagingStages(RecordSink writer, const RunOptions &options, const SlideImaging &imaging)
{
    RecordSink stages = options.dedupe ? dedupingSlides(std::move(writer)) : std::move(writer);
    if (imaging.cleans)
        stages = cleaningSlides(std::move(stages), imaging.settled, imaging.cutter);
    else if (imaging.cutter)
        stages = cuttingSlides(std::move(stages), imaging.settled, imaging.cutter);
    return imaging.cutter ? tellingWholeFrame(std::move(stages), &imaging.crop) : stages;
}
