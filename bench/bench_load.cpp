// Decoding the frames for the walk both ways: one plain reader after the
// other on the calling thread, and loadFrames' read-ahead on worker threads
// with reused buffers. Prints wall time, CPU time and minor page faults per
// frame, once for decoding alone and once for the whole detection walk, and
// the ratios of the two ways.
//
// Usage: bench_load [DIR [ROUNDS]]
// DIR holds frame_*.png files, for instance the frames of a bare ffmpeg
// extraction; without it, 60 slide-like 1920 x 1080 frames are made in a
// temporary directory.
#include "detect.h"
#include "frames.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLinearGradient>
#include <QPainter>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

// A still picture held for four frames, as ffmpeg samples a slide: a
// gradient background, a title bar and bullet-like blocks.
QImage slideLikeFrame(int index)
{
    const int slide = index / 4;
    QImage image(1920, 1080, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient background(0, 0, 0, 1080);
    background.setColorAt(0, QColor(250, 250, 245 - slide % 40));
    background.setColorAt(1, QColor(200 + slide % 50, 210, 230));
    painter.fillRect(image.rect(), background);
    painter.fillRect(0, 0, 1920, 160, QColor(30, 60 + 20 * (slide % 5), 120));
    for (int line = 0; line < 8; ++line) {
        const int width = 400 + (slide * 137 + line * 311) % 1100;
        painter.setBrush(QColor(40, 40, 40));
        painter.drawEllipse(120, 240 + 100 * line, 24, 24);
        painter.fillRect(180, 236 + 100 * line, width, 32, QColor(60, 60, 60 + line * 10));
    }
    return image;
}

QStringList makeFrames(const QString &dir, int count)
{
    for (int i = 0; i < count; ++i)
        slideLikeFrame(i).save(
            QDir(dir).filePath(QStringLiteral("frame_%1.png").arg(i + 1, 6, 10, QLatin1Char('0'))),
            "PNG");
    return listFrames(QDir(dir));
}

struct Cost {
    double wallMs = 0;
    double cpuMs = 0;
    double pageFaults = 0;
};

// Wall and CPU time in ms and minor page faults so far.
Cost soFar(const QElapsedTimer &clock)
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {double(clock.nsecsElapsed()) / 1e6,
            (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3,
            double(usage.ru_minflt)};
}

// The frames before this one fill the read-ahead window and its buffers;
// only the steady state after them is measured.
int warmUpFrames()
{
    return 4 * QThread::idealThreadCount() + 2;
}

// Runs walk on a source that notes the cost so far when the first frame
// after the warm-up is asked for, and returns the cost per frame from there.
template <typename Walk> Cost measure(int frames, const FrameSource &source, Walk walk)
{
    QElapsedTimer clock;
    clock.start();
    Cost start;
    const FrameSource noting = [&](int index) {
        if (index == warmUpFrames())
            start = soFar(clock);
        return source(index);
    };
    walk(noting);
    const Cost end = soFar(clock);
    const double counted = frames - warmUpFrames();
    return {(end.wallMs - start.wallMs) / counted, (end.cpuMs - start.cpuMs) / counted,
            (end.pageFaults - start.pageFaults) / counted};
}

Cost median(std::vector<Cost> costs)
{
    const auto middle = [&](auto field) {
        std::sort(costs.begin(), costs.end(),
                  [&](const Cost &a, const Cost &b) { return a.*field < b.*field; });
        return costs[costs.size() / 2].*field;
    };
    return {middle(&Cost::wallMs), middle(&Cost::cpuMs), middle(&Cost::pageFaults)};
}

// Every frame in order, the previous one held as the walk holds its
// reference.
void decodeAll(const QStringList &paths, const FrameSource &frameAt)
{
    QImage previous;
    for (int i = 0; i < paths.size(); ++i) {
        const std::optional<QImage> frame = frameAt(i);
        if (!frame || frame->isNull()) {
            std::fprintf(stderr, "frame %d could not be decoded\n", i);
            std::exit(1);
        }
        previous = *frame;
    }
}

bool sameTimelines(const Timeline &a, const Timeline &b)
{
    if (a.keepSet != b.keepSet || a.segments.size() != b.segments.size())
        return false;
    for (qsizetype i = 0; i < a.segments.size(); ++i) {
        const Segment &x = a.segments.at(i);
        const Segment &y = b.segments.at(i);
        if (x.startFrame != y.startFrame || x.endFrame != y.endFrame ||
            x.keptFrame != y.keptFrame || x.isVideo != y.isVideo || x.videoLabel != y.videoLabel)
            return false;
    }
    return true;
}

FrameSource oneAtATime(const QStringList &paths, LoadFailure *failure)
{
    return [paths, failure](int index) -> std::optional<QImage> {
        if (index >= paths.size())
            return std::nullopt;
        return loadFrame(paths.at(index), failure);
    };
}

void printRow(const char *name, const Cost &cost)
{
    std::printf("  %-26s %9.1f %9.1f %12.0f\n", name, cost.wallMs, cost.cpuMs, cost.pageFaults);
}

void printComparison(const char *title, const Cost &plain, const Cost &readAhead)
{
    std::printf("%s\n  %-26s %9s %9s %12s\n", title, "", "wall ms", "CPU ms", "page faults");
    printRow("one at a time", plain);
    printRow("read-ahead", readAhead);
    std::printf("  read-ahead / one at a time: wall %.2f, CPU %.2f\n\n",
                readAhead.wallMs / plain.wallMs, readAhead.cpuMs / plain.cpuMs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    QTemporaryDir scratch;
    const QStringList paths =
        arguments.size() > 1 ? listFrames(QDir(arguments.at(1))) : makeFrames(scratch.path(), 60);
    const int rounds = arguments.size() > 2 ? std::max(1, arguments.at(2).toInt()) : 3;
    if (paths.size() < warmUpFrames() + 10) {
        std::fprintf(stderr, "needs at least %d frame_*.png files\n", warmUpFrames() + 10);
        return 1;
    }
    const int frames = int(paths.size());
    LoadFailure failure;
    const QImage first = loadFrame(paths.first(), &failure);
    std::printf("%d frames of %dx%d, %d rounds each way, alternating; %d threads.\n"
                "Medians per frame, after the first %d frames:\n\n",
                frames, first.width(), first.height(), rounds, QThread::idealThreadCount(),
                warmUpFrames());

    std::vector<Cost> plainDecode, readAheadDecode, plainWalk, readAheadWalk;
    bool sameTimeline = true;
    for (int round = 0; round < rounds; ++round) {
        const auto decode = [&](const FrameSource &source) { decodeAll(paths, source); };
        plainDecode.push_back(measure(frames, oneAtATime(paths, &failure), decode));
        readAheadDecode.push_back(measure(frames, loadFrames(paths, &failure), decode));

        Timeline plain, readAhead;
        plainWalk.push_back(measure(frames, oneAtATime(paths, &failure), [&](auto &source) {
            segmentTimeline(source, DetectOptions(), &plain);
        }));
        readAheadWalk.push_back(measure(frames, loadFrames(paths, &failure), [&](auto &source) {
            segmentTimeline(source, DetectOptions(), &readAhead);
        }));
        sameTimeline = sameTimeline && sameTimelines(plain, readAhead);
    }

    printComparison("Decoding alone:", median(plainDecode), median(readAheadDecode));
    printComparison("Detection walk (decoding and frameSimilarity):", median(plainWalk),
                    median(readAheadWalk));
    std::printf("Same timeline both ways: %s\n", sameTimeline ? "yes" : "NO");
    QFile loadAverage(QStringLiteral("/proc/loadavg"));
    if (loadAverage.open(QIODevice::ReadOnly))
        std::printf("Load average at the end (other work on the machine): %s",
                    loadAverage.readAll().constData());
    return sameTimeline ? 0 : 1;
}
