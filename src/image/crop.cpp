#include "image.h"

#include <QStringList>

#include <algorithm>

namespace
{

FrameSource fixedCrop(FrameSource frames, const QRect &rect, CropReport *report)
{
    return [frames = std::move(frames), rect, report](int i) -> std::optional<QImage> {
        std::optional<QImage> frame = frames(i);
        if (!frame || frame->isNull())
            return frame;
        if (!frame->rect().contains(rect)) {
            report->outsidePicture = true;
            return QImage();
        }
        return frame->copy(rect);
    };
}

} // namespace

std::optional<CropRequest> cropRequestNamed(const QString &text)
{
    if (text == QLatin1String("auto"))
        return CropRequest{true, {}};
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;
    int values[4] = {};
    for (int k = 0; k < 4; ++k) {
        bool ok = false;
        values[k] = parts.at(k).toInt(&ok, 10);
        if (!ok || parts.at(k).trimmed() != parts.at(k) || values[k] < (k < 2 ? 0 : 1))
            return std::nullopt;
    }
    // The far edges must be pixels an int can name.
    if (qint64(values[0]) + values[2] > INT_MAX || qint64(values[1]) + values[3] > INT_MAX)
        return std::nullopt;
    return CropRequest{false, QRect(values[0], values[1], values[2], values[3])};
}

FrameSource croppedFrames(FrameSource frames, const CropRequest &request, CropReport *report)
{
    if (!request.automatic && !request.rect.isNull())
        return fixedCrop(std::move(frames), request.rect, report);
    return frames;
}
