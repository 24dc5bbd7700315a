// Times the two detection walks on full-HD frames held in memory, so that
// only the walk is measured: no decoding, no ffmpeg. Prints milliseconds per
// frame for each detector; build in Release. The whole run is measured by
// bench/score-talks.sh and bench/detector-cost.sh.
#include "detect.h"

#include <QElapsedTimer>
#include <QPainter>
#include <QRandomGenerator>

#include <cstdio>

namespace
{

// A slide held for four frames, with a little noise on every pixel so that
// frames of one slide differ slightly everywhere, as a camera's do.
QImage noisySlideFrame(int index, QRandomGenerator &random)
{
    const int slide = index / 4;
    QImage image(1920, 1080, QImage::Format_RGB32);
    image.fill(QColor(245, 245, 240));
    QPainter painter(&image);
    painter.fillRect(0, 0, 1920, 160, QColor(30, 60 + 20 * (slide % 5), 120));
    for (int line = 0; line < 8; ++line)
        painter.fillRect(180, 236 + 100 * line, 400 + (slide * 137 + line * 311) % 1100, 32,
                         QColor(60, 60, 60 + line * 10));
    painter.end();
    for (int y = 0; y < image.height(); ++y) {
        auto *pixels = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int noise = random.bounded(-3, 4);
            const auto level = [noise](int value) { return qBound(0, value + noise, 255); };
            pixels[x] =
                qRgb(level(qRed(pixels[x])), level(qGreen(pixels[x])), level(qBlue(pixels[x])));
        }
    }
    return image;
}

// Walks the frames round and round for about two seconds.
double msPerFrame(const QList<QImage> &frames, Detector detector)
{
    DetectOptions options;
    options.detector = detector;
    const FrameSource source = [&](int i) -> std::optional<QImage> {
        if (i >= frames.size())
            return std::nullopt;
        return frames.at(i);
    };
    QElapsedTimer timer;
    timer.start();
    qint64 walked = 0;
    while (timer.elapsed() < 2000) {
        Timeline timeline;
        segmentTimeline(source, options, &timeline);
        walked += frames.size();
    }
    return double(timer.nsecsElapsed()) / 1e6 / double(walked);
}

} // namespace

int main()
{
    QRandomGenerator random(7);
    QList<QImage> frames;
    for (int i = 0; i < 40; ++i)
        frames.append(noisySlideFrame(i, random));
    const double pixel = msPerFrame(frames, Detector::Pixel);
    const double robust = msPerFrame(frames, Detector::Robust);
    std::printf("1920x1080 frames in memory, per frame: pixel walk %.2f ms, robust walk %.2f ms "
                "(x%.2f)\n",
                pixel, robust, robust / pixel);
    return 0;
}
