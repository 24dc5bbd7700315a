#include "app.h"

#include <QObject>

namespace
{

// The first frame in which no slide is found is told as it is handed out.
FrameSource tellingWholeFrame(FrameSource cropped, const CropReport *crop)
{
    auto told = std::make_shared<bool>(false);
    return [cropped = std::move(cropped), crop, told](int i) {
        std::optional<QImage> frame = cropped(i);
        if (crop->wholeFrameUsed && !*told) {
            *told = true;
            writeMessage(QObject::tr("no slide found in the picture: using the whole frame\n"));
        }
        return frame;
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
    FrameSource cropped = tellingWholeFrame(
        croppedFrames(std::move(frames), options.crop, &imaging->crop), &imaging->crop);
    if (!cleansSlides(options))
        return cropped;
    imaging->settled = settledFrames(framesHeldForCleaning);
    return keepingSettledFrames(std::move(cropped), imaging->settled);
}

RecordSink imagingStages(RecordSink writer, const RunOptions &options, const SlideImaging &imaging)
{
    RecordSink stages = options.dedupe ? dedupingSlides(std::move(writer)) : std::move(writer);
    return imaging.settled ? cleaningSlides(std::move(stages), imaging.settled) : stages;
}
