#include "app.h"

#include <QObject>

namespace
{

// Frames held for a slide's clean picture: enough for a median that leaves
// out someone standing in front for a while, few enough for memory.
constexpr int settledCapacity = 7;

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
    if (!cleansSlides(options))
        return cropped;
    imaging->settled = settledFrames(settledCapacity);
    return keepingSettledFrames(std::move(cropped), imaging->settled);
}

SlideSink imagingSink(SlideSink writer, const RunOptions &options, SlideImaging *imaging)
{
    SlideSink sink =
        options.dedupe ? dedupingSlides(std::move(writer), &imaging->repeatOf) : std::move(writer);
    return imaging->settled ? cleaningSlides(std::move(sink), imaging->settled) : sink;
}

bool reportCropFailure(const SlideImaging &imaging)
{
    if (imaging.crop.outsidePicture)
        writeMessage(QObject::tr("Invalid crop value\n"));
    return imaging.crop.outsidePicture;
}

void markRepeats(Timeline *timeline, const SlideImaging &imaging)
{
    int slide = 0;
    for (Segment &segment : timeline->segments) {
        if (!segment.isVideo && slide < imaging.repeatOf.size())
            segment.repeatOf = imaging.repeatOf.at(slide++);
    }
}
