#include "frames.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace
{

// Frames read ahead of the walk: enough for ffmpeg to go on decoding while a
// frame is compared, few enough that memory does not depend on the talk.
constexpr std::size_t readAhead = 3;
// Slides the writer may hold while it encodes them.
constexpr std::size_t slidesQueued = 2;

// How long the reader waits for ffmpeg before it looks for a request to
// stop; destroying the source never waits much longer than this.
constexpr int pollIntervalMs = 100;

constexpr int pipeBytes = 1 << 20;

struct PipedFrame {
    QImage image;    // null when this entry ends the frames
    QString failure; // why the frames ended early; empty when they ended well
    bool ffmpegFailed = false;
};

// The reader thread owns the ffmpeg process and everything it reads; the
// walk's thread only takes finished frames out of the queue.
struct FramePipe {
    FramePipe(const QString &input, int fps, PipeFailure *failure);
    ~FramePipe();
    Q_DISABLE_COPY_MOVE(FramePipe)

    const QString input;
    const int fps;
    PipeFailure *const failure;
    // Caller only: the entry that ends the frames has been taken, and whether
    // it told of a failure; every later call answers the same.
    bool ended = false;
    bool failed = false;

    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::deque<PipedFrame> queue;
    bool started = false; // ffmpeg has started, or could not be started
    bool stopping = false;

    std::thread reader;

    // Reader only: the frames handed out last, whose pixels are written over
    // for a new frame once nobody else holds them. A fresh frame would cost
    // a page fault per 4 KiB page as it is first written: at 1080p, 2000 a
    // frame, dearer than the conversion itself on a virtual machine.
    QList<QImage> handedOut;
};

bool stopRequested(FramePipe &pipe)
{
    std::lock_guard<std::mutex> lock(pipe.mutex);
    return pipe.stopping;
}

enum class Wait { Data, End, Stopped };

// Waits until ffmpeg's output holds at least one unread byte. QProcess reads
// from the pipe only while it is waited on, so ffmpeg blocks on a full pipe
// whenever the reader is not waiting: that, and the bounded queue, keep
// memory flat.
Wait waitForData(QProcess &ffmpeg, FramePipe &pipe)
{
    while (ffmpeg.bytesAvailable() == 0) {
        if (stopRequested(pipe))
            return Wait::Stopped;
        QElapsedTimer waited;
        waited.start();
        if (ffmpeg.waitForReadyRead(pollIntervalMs))
            continue;
        if (ffmpeg.bytesAvailable() > 0)
            continue;
        if (ffmpeg.state() == QProcess::NotRunning)
            return Wait::End;
        // An early "no" while ffmpeg runs: its output is closed, so waiting
        // for its end buffers nothing.
        if (waited.elapsed() < pollIntervalMs / 2)
            ffmpeg.waitForFinished(pollIntervalMs);
    }
    return Wait::Data;
}

// The bytes ffmpeg has sent: some as soon as there are any.
qint64 readSome(QProcess &ffmpeg, FramePipe &pipe, char *data, qint64 size)
{
    switch (waitForData(ffmpeg, pipe)) {
    case Wait::Data:
        // A read that fails although bytes were there ends the output.
        return qMax<qint64>(ffmpeg.read(data, size), 0);
    case Wait::End:
        return 0;
    case Wait::Stopped:
        break;
    }
    return -1;
}

// How many frames handed out are kept for reuse: the walk holds at most
// three (its reference, the frame it compares and the kept one), the slide
// writer slidesQueued more, the cleaning of slide pictures
// framesHeldForCleaning and the queue readAhead, so one more is free
// whenever the walk has moved on.
constexpr qsizetype remembered = readAhead + slidesQueued + framesHeldForCleaning + 4;
// However large the frames, the buffers kept for reuse take no more than
// this together: past it the oldest goes.
constexpr qint64 rememberedBytes = qint64(1) << 30;

// A frame of the given size and format handed out earlier that nobody else
// holds any more, or a new one.
QImage frameBuffer(FramePipe &pipe, int width, int height, QImage::Format format)
{
    for (qsizetype i = 0; i < pipe.handedOut.size(); ++i) {
        const QImage &image = pipe.handedOut.at(i);
        if (image.isDetached() && image.width() == width && image.height() == height &&
            image.format() == format) {
            // The count dropped to one on the walk's thread after its last
            // read of the pixels; this orders the writes to come after it.
            std::atomic_thread_fence(std::memory_order_acquire);
            return pipe.handedOut.takeAt(i);
        }
    }
    return QImage(width, height, format);
}

void rememberHandedOut(FramePipe &pipe, const QImage &image)
{
    pipe.handedOut.append(image);
    qint64 bytes = 0;
    for (const QImage &kept : std::as_const(pipe.handedOut))
        bytes += kept.sizeInBytes();
    while (pipe.handedOut.size() > remembered ||
           (pipe.handedOut.size() > 1 && bytes > rememberedBytes)) {
        // A buffer nobody holds goes first. One still held costs nothing to
        // remember and is reused once let go: the frames a slide's clean
        // picture is made from are held for as long as the slide lasts, and
        // forgetting them made a fresh buffer for every one.
        const auto isFree = [](const QImage &kept) { return kept.isDetached(); };
        const auto free = std::find_if(pipe.handedOut.begin(), pipe.handedOut.end(), isFree);
        const qsizetype victim = free == pipe.handedOut.end() ? 0 : free - pipe.handedOut.begin();
        bytes -= pipe.handedOut.at(victim).sizeInBytes();
        pipe.handedOut.removeAt(victim);
    }
}

// Waits for ffmpeg to end, looking for a request to stop meanwhile.
bool waitForEnd(QProcess &ffmpeg, FramePipe &pipe)
{
    while (!ffmpeg.waitForFinished(pollIntervalMs)) {
        if (ffmpeg.state() == QProcess::NotRunning)
            return true;
        if (stopRequested(pipe))
            return false;
    }
    return true;
}

// Queues an entry once there is room for it; false when the pipe is stopping.
bool deliver(FramePipe &pipe, PipedFrame entry)
{
    std::unique_lock<std::mutex> lock(pipe.mutex);
    pipe.changed.wait(lock, [&] { return pipe.stopping || pipe.queue.size() < readAhead; });
    if (pipe.stopping)
        return false;
    pipe.queue.push_back(std::move(entry));
    pipe.changed.notify_all();
    return true;
}

void announceStarted(FramePipe &pipe)
{
    std::lock_guard<std::mutex> lock(pipe.mutex);
    pipe.started = true;
    pipe.changed.notify_all();
}

// The entry that ends the frames, once ffmpeg's output has ended (cut: in the
// middle of a frame). How ffmpeg ended says more than where its output
// stopped, so a failed ffmpeg is reported as such.
PipedFrame lastEntry(QProcess &ffmpeg, bool cut, int frameNumber)
{
    const QString exit = ffmpegExitFailure(ffmpeg);
    if (!exit.isEmpty())
        return {QImage(), exit, true};
    if (cut)
        return {QImage(), QObject::tr("the output ends in the middle of frame %1").arg(frameNumber),
                false};
    return {};
}

void readFrames(QProcess &ffmpeg, FramePipe &pipe)
{
    PpmStream stream{[&](char *data, qint64 size) { return readSome(ffmpeg, pipe, data, size); }};
    const FrameAllocator allocate = [&](int width, int height, QImage::Format format) {
        return frameBuffer(pipe, width, height, format);
    };
    for (int frameNumber = 1;; ++frameNumber) {
        QImage image;
        const PpmRead read = readPpmFrame(stream, frameNumber, allocate, &image);
        switch (read.outcome) {
        case PpmRead::Frame:
            rememberHandedOut(pipe, image);
            if (!deliver(pipe, {image, QString(), false}))
                return;
            break;
        case PpmRead::End:
        case PpmRead::Cut:
            if (waitForEnd(ffmpeg, pipe))
                deliver(pipe, lastEntry(ffmpeg, read.outcome == PpmRead::Cut, frameNumber));
            return;
        case PpmRead::Unreadable:
            deliver(pipe, {QImage(), read.why, false});
            return;
        case PpmRead::Stopped:
            return;
        }
    }
}

// ffmpeg is started on the reader thread, which is what PR_SET_PDEATHSIG
// follows: it ends ffmpeg when the thread that started it goes. This
// thread never returns while ffmpeg runs (it kills and reaps it first), so
// ffmpeg still goes only when the whole process does.
void runFfmpeg(FramePipe &pipe)
{
    QProcess ffmpeg;
    ffmpeg.setProgram(QStringLiteral("ffmpeg"));
    // Only ffmpeg's errors reach the terminal: its banner and its own
    // progress line would run into this tool's progress line.
    ffmpeg.setArguments({QStringLiteral("-hide_banner"), QStringLiteral("-nostats"),
                         QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-i"),
                         pipe.input, QStringLiteral("-vf"), QStringLiteral("fps=%1").arg(pipe.fps),
                         QStringLiteral("-f"), QStringLiteral("image2pipe"), QStringLiteral("-c:v"),
                         QStringLiteral("ppm"), QStringLiteral("pipe:1")});
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A pipe holds 64 KiB by default: a 1080p frame would take a hundred
    // wake-ups of both sides. 1 MiB, the most an unprivileged process may ask
    // for by default, takes a sixteenth of them; where refused, the pipe
    // stays as it is. Runs in the child between fork and exec, where its
    // standard output is already the pipe.
    startChild(ffmpeg, [] { fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipeBytes); });
    // Nothing is ever written to ffmpeg; an open standard input would make
    // any question it asks wait forever for an answer.
    ffmpeg.closeWriteChannel();
    const bool started = ffmpeg.waitForStarted(-1);
    announceStarted(pipe);
    if (!started) {
        deliver(pipe, {QImage(), QObject::tr("Failed to run ffmpeg: %1").arg(ffmpeg.errorString()),
                       true});
        return;
    }
    readFrames(ffmpeg, pipe);
    // Stopped early, or its output was not understood: ffmpeg has nothing
    // more to give.
    if (ffmpeg.state() != QProcess::NotRunning) {
        ffmpeg.kill();
        ffmpeg.waitForFinished(-1);
    }
}

FramePipe::FramePipe(const QString &input, int fps, PipeFailure *failure)
    : input(input), fps(fps), failure(failure)
{
    reader = std::thread(runFfmpeg, std::ref(*this));
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return started; });
}

FramePipe::~FramePipe()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    reader.join();
}

std::optional<QImage> takeFrame(FramePipe &pipe)
{
    if (pipe.ended)
        return pipe.failed ? std::optional<QImage>(QImage()) : std::nullopt;
    std::unique_lock<std::mutex> lock(pipe.mutex);
    pipe.changed.wait(lock, [&] { return !pipe.queue.empty(); });
    PipedFrame entry = std::move(pipe.queue.front());
    pipe.queue.pop_front();
    pipe.changed.notify_all();
    lock.unlock();

    if (!entry.image.isNull())
        return entry.image;
    pipe.ended = true;
    pipe.failed = !entry.failure.isEmpty();
    if (!pipe.failed)
        return std::nullopt;
    *pipe.failure = entry.ffmpegFailed ? PipeFailure{entry.failure, QString()}
                                       : PipeFailure{QString(), entry.failure};
    return QImage();
}

} // namespace

FrameSource pipeFrames(const QString &input, int fps, PipeFailure *failure)
{
    // Every copy of the function shares the one pipe; the last one to go
    // stops ffmpeg, if it still runs, and waits for the reader.
    auto pipe = std::make_shared<FramePipe>(input, fps, failure);
    return [pipe](int) { return takeFrame(*pipe); };
}
