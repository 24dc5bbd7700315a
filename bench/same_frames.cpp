// Checks the frames decoded in the process against those ffmpeg sends down
// the pipe, one video at a time: the whole decoding must give the same
// frames pixel for pixel; skimming may give a still stretch's keyframe
// instead, and how far that lies from the frame ffmpeg sampled is printed.
//
// Usage: same_frames VIDEO [FPS [skim]]
// Prints one line per way of decoding: frames, frames that differ, the
// largest mean and single-sample difference in levels; exits 1 when the
// whole decoding differs from the pipe at all.
#include "decode.h"
#include "frames.h"

#include <QCoreApplication>
#include <QImage>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace
{

struct Difference {
    qint64 frames = 0;
    qint64 differing = 0;
    double largestMean = 0; // levels of 255, over all samples of a frame
    int largestSample = 0;
    bool sameCount = true;
};

void compare(const QImage &a, const QImage &b, Difference *difference)
{
    ++difference->frames;
    if (a.size() != b.size() || a.format() != b.format()) {
        ++difference->differing;
        difference->largestMean = 255;
        return;
    }
    const int rowBytes = a.width() * a.depth() / 8;
    qint64 sum = 0;
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar *p = a.constScanLine(y);
        const uchar *q = b.constScanLine(y);
        for (int x = 0; x < rowBytes; ++x) {
            const int d = std::abs(p[x] - q[x]);
            sum += d;
            largest = std::max(largest, d);
        }
    }
    if (largest > 0)
        ++difference->differing;
    difference->largestMean =
        std::max(difference->largestMean, double(sum) / (double(rowBytes) * a.height()));
    difference->largestSample = std::max(difference->largestSample, largest);
}

Difference compareWithPipe(const QString &video, int fps, bool skim, DecodeCounts *counts)
{
    PipeFailure pipeFailure;
    DecodeFailure decodeFailure;
    FrameSource piped = pipeFrames(video, fps, &pipeFailure);
    FrameSource decoded = decodedFrames(video, fps, skim, &decodeFailure, counts);
    Difference difference;
    for (int i = 0;; ++i) {
        const std::optional<QImage> a = piped(i);
        const std::optional<QImage> b = decoded(i);
        if (!a || !b || a->isNull() || b->isNull()) {
            difference.sameCount = bool(a) == bool(b) && (!a || a->isNull() == b->isNull());
            if (!decodeFailure.reason.isEmpty())
                std::fprintf(stderr, "decoding failed: %s\n", qPrintable(decodeFailure.reason));
            return difference;
        }
        const double before = difference.largestMean;
        compare(*a, *b, &difference);
        if (skim && difference.largestMean > before && difference.largestMean > 0.5)
            std::fprintf(stderr, "frame %d differs by a mean of %.3f\n", i, difference.largestMean);
    }
}

void print(const char *way, const Difference &difference, const DecodeCounts &counts)
{
    std::printf("%-6s frames %lld%s, differing %lld, largest mean %.3f, largest sample %d, "
                "decoded %lld of %lld\n",
                way, difference.frames, difference.sameCount ? "" : " (COUNT DIFFERS)",
                difference.differing, difference.largestMean, difference.largestSample,
                counts.framesDecoded, counts.framesInVideo);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: same_frames VIDEO [FPS]\n");
        return 2;
    }
    const int fps = arguments.size() > 2 ? arguments.at(2).toInt() : 1;
    // "skim" leaves out the whole decoding, already checked.
    const bool onlySkim = arguments.size() > 3 && arguments.at(3) == QLatin1String("skim");
    DecodeCounts wholeCounts;
    const Difference whole =
        onlySkim ? Difference() : compareWithPipe(arguments.at(1), fps, false, &wholeCounts);
    if (!onlySkim)
        print("whole", whole, wholeCounts);
    DecodeCounts skimCounts;
    const Difference skimmed = compareWithPipe(arguments.at(1), fps, true, &skimCounts);
    print("skim", skimmed, skimCounts);
    return whole.differing == 0 && whole.sameCount && skimmed.sameCount ? 0 : 1;
}
