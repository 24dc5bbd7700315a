#include "app.h"
#include "frames.h"
#include "output.h"

#include <QElapsedTimer>
#include <QObject>

#include <algorithm>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace
{

// Thousands of redraws a second would flood a slow terminal (over ssh, say)
// and cost more than the count is worth; five a second still reads as
// moving.
constexpr qint64 redrawIntervalMs = 200;

struct ProgressLine {
    ~ProgressLine();

    int frameCount = 0; // 0: not known in advance, the line shows video time
    int fps = 1;
    std::optional<double> duration; // seconds
    bool shown = false;             // whether the line is on the terminal
    QElapsedTimer sinceShown;
};

void show(ProgressLine &line, int frameNumber)
{
    const int percent = int(qint64(frameNumber) * 100 / line.frameCount);
    const QString text = QObject::tr("Comparing frames %1/%2 (%3%)")
                             .arg(frameNumber)
                             .arg(line.frameCount)
                             .arg(percent);
    showProgress(text);
    line.shown = true;
    line.sinceShown.start();
}

// Leaves the cursor at the start of an empty line, so whatever comes next
// (a message, the report on the same terminal) starts as if the line had
// never been there.
void erase(ProgressLine &line)
{
    if (!line.shown)
        return;
    eraseProgress();
    line.shown = false;
}

// The walk may stop without asking for another frame (a slide that cannot
// be written): the line goes with the last copy of the frame source, before
// anything else is written.
ProgressLine::~ProgressLine()
{
    erase(*this);
}

void showVideoTime(ProgressLine &line, int index)
{
    const qint64 seconds = index / line.fps;
    QString text = QObject::tr("Comparing frames at %1").arg(clockTime(seconds));
    if (line.duration) {
        // Sampling may reach a little past the length ffprobe reports.
        const int percent = int(std::min(100.0, double(seconds) * 100 / *line.duration));
        text = QObject::tr("Comparing frames at %1 of %2 (%3%)")
                   .arg(clockTime(seconds), clockTime(qint64(*line.duration)))
                   .arg(percent);
    }
    showProgress(text);
    line.shown = true;
    line.sinceShown.start();
}

void videoFrameHandedOut(ProgressLine &line, int index, bool ended)
{
    if (ended)
        erase(line);
    else if (!line.shown || line.sinceShown.elapsed() >= redrawIntervalMs)
        showVideoTime(line, index);
}

void frameHandedOut(ProgressLine &line, int index, bool failed)
{
    // After the last frame, or a frame that cannot be had, the walk asks for
    // no more: this is the last chance to take the line away.
    if (failed || index + 1 >= line.frameCount) {
        erase(line);
        return;
    }
    if (!line.shown || line.sinceShown.elapsed() >= redrawIntervalMs)
        show(line, index + 1);
}

// Shows the line of *line as the walk takes the frames of frameAt; the walk
// may copy the function, and every copy counts on the one line.
FrameSource shownOn(std::shared_ptr<ProgressLine> line, FrameSource frameAt)
{
    return [frameAt = std::move(frameAt), line = std::move(line)](int index) {
        std::optional<QImage> frame = frameAt(index);
        const bool over = !frame || frame->isNull();
        if (line->frameCount > 0)
            frameHandedOut(*line, index, over);
        else
            videoFrameHandedOut(*line, index, over);
        return frame;
    };
}

} // namespace

FrameSource withVideoTimeProgress(FrameSource frameAt, const QString &input, int fps)
{
    if (!isatty(STDERR_FILENO))
        return frameAt;
    const auto line = std::make_shared<ProgressLine>();
    line->fps = fps;
    line->duration = videoDuration(input);
    return shownOn(line, std::move(frameAt));
}

FrameSource withProgress(FrameSource frameAt, int frameCount)
{
    if (!isatty(STDERR_FILENO))
        return frameAt;
    const auto line = std::make_shared<ProgressLine>();
    line->frameCount = frameCount;
    return shownOn(line, std::move(frameAt));
}

std::function<void(int)> countingProgress(const QString &what, int total)
{
    if (!isatty(STDERR_FILENO) || total <= 0)
        return [](int) {};
    struct Counter {
        ~Counter() { eraseProgress(); }
        std::mutex lock;
        QElapsedTimer sinceShown;
    };
    const auto counter = std::make_shared<Counter>();
    return [counter, what, total](int done) {
        const std::lock_guard<std::mutex> lock(counter->lock);
        if (done >= total) {
            eraseProgress();
            return;
        }
        if (counter->sinceShown.isValid() && counter->sinceShown.elapsed() < redrawIntervalMs)
            return;
        showProgress(QStringLiteral("%1 %2/%3 (%4%)")
                         .arg(what)
                         .arg(done)
                         .arg(total)
                         .arg(int(qint64(done) * 100 / total)));
        counter->sinceShown.start();
    };
}
