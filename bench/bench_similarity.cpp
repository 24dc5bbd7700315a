// Times frameSimilarity on pairs of full-HD frames against the plain loop it
// replaced: both frames converted to RGBA8888, then one pixel at a time.
// Prints milliseconds per pair for each and the speed-up; build in Release.
#include "detect.h"
#include "plainsimilarity.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>

namespace
{

// A frame of a slide as a camera delivers it: a smooth background, a few flat
// boxes of text colour, and a little noise on every channel, so two frames of
// one slide differ slightly everywhere.
QImage noisyFrame(QRandomGenerator &random, QImage::Format format)
{
    QImage frame(1920, 1080, QImage::Format_RGB32);
    for (int y = 0; y < frame.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(frame.scanLine(y));
        for (int x = 0; x < frame.width(); ++x) {
            const bool text = (y / 60) % 3 == 1 && (x / 40) % 5 != 4;
            const int base = text ? 40 : 200 + x / 40;
            auto noisy = [&](int offset) {
                return qBound(0, base + offset + random.bounded(-4, 5), 255);
            };
            line[x] = qRgb(noisy(0), noisy(8), noisy(-8));
        }
    }
    return frame.convertToFormat(format);
}

// Scores each frame against the one before it, round and round, for about a
// second. More frames than a processor cache holds keep the timing honest: the
// tool reads every frame from memory once.
double msPerPair(double (*measure)(const QImage &, const QImage &), const QList<QImage> &frames)
{
    qsizetype pairs = 0;
    QElapsedTimer timer;
    timer.start();
    do {
        const qsizetype i = pairs % frames.size();
        measure(frames.at(i), frames.at((i + 1) % frames.size()));
        ++pairs;
    } while (timer.elapsed() < 1000 || pairs < frames.size());
    return double(timer.nsecsElapsed()) / 1e6 / double(pairs);
}

// Prints one line for the format; false if the two measures disagree on
// any pair.
bool benchFormat(QRandomGenerator &random, QImage::Format format, const char *name)
{
    QList<QImage> frames;
    for (int i = 0; i < 8; ++i)
        frames << noisyFrame(random, format);
    bool same = true;
    for (qsizetype i = 0; i + 1 < frames.size(); ++i)
        same = same && frameSimilarity(frames.at(i), frames.at(i + 1)) ==
                           plainSimilarity(frames.at(i), frames.at(i + 1));

    const double fast = msPerPair(frameSimilarity, frames);
    const double plain = msPerPair(plainSimilarity, frames);
    std::printf("%-6s 1920x1080: frameSimilarity %.3f ms/pair, plain loop %.3f ms/pair, %.1fx, "
                "scores %s\n",
                name, fast, plain, plain / fast, same ? "identical" : "DIFFER");
    return same;
}

} // namespace

int main()
{
    QRandomGenerator random(1);
    const bool rgb32 = benchFormat(random, QImage::Format_RGB32, "RGB32");
    const bool rgb888 = benchFormat(random, QImage::Format_RGB888, "RGB888");
    return rgb32 && rgb888 ? 0 : 1;
}
