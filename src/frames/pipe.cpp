#include "frames.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QtEndian>

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

// ffmpeg sends each frame as a binary PPM picture: "P6", its width, height
// and largest sample value as decimal text, then 3 samples per pixel, row by
// row. It picks 8-bit samples wherever its PNG encoder would write an 8-bit
// RGB file, and 16-bit ones (largest value 65535) where that would be a
// 16-bit file, so the pictures are those the frame files would decode to.
//
// Sizes are checked before anything is allocated: a damaged header must not
// make the reader ask for gigabytes. 16384 pixels each way is more than any
// video ffmpeg decodes in practice.
constexpr int largestSide = 16384;
// The longest number a header may hold; more digits are not a size.
constexpr int longestNumber = 9;

// Frames read ahead of the walk: enough for ffmpeg to go on decoding while a
// frame is compared, few enough that memory does not depend on the talk.
constexpr std::size_t readAhead = 3;

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

// Reads exactly size bytes; fewer only when the output ends or the pipe stops.
Wait readFully(QProcess &ffmpeg, FramePipe &pipe, char *data, qint64 size, qint64 *got)
{
    *got = 0;
    while (*got < size) {
        const Wait wait = waitForData(ffmpeg, pipe);
        if (wait != Wait::Data)
            return wait;
        *got += ffmpeg.read(data + *got, size - *got);
    }
    return Wait::Data;
}

struct Header {
    int width = 0;
    int height = 0;
    int largestValue = 0;
};

// What became of reading one frame.
struct FrameRead {
    enum Outcome { Frame, End, Cut, Unreadable, Stopped } outcome = Frame;
    QString why; // Unreadable: the reason
};

bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads one decimal number of the header and the single whitespace byte after
// it, after skipping whitespace before it.
FrameRead readNumber(QProcess &ffmpeg, FramePipe &pipe, int frameNumber, qint64 *value)
{
    const FrameRead notPpm{FrameRead::Unreadable,
                           QObject::tr("frame %1 is not a PPM picture").arg(frameNumber)};
    char c = ' ';
    qint64 got = 0;
    while (isSpace(c)) {
        const Wait wait = readFully(ffmpeg, pipe, &c, 1, &got);
        if (wait != Wait::Data)
            return {wait == Wait::Stopped ? FrameRead::Stopped : FrameRead::Cut, {}};
    }
    *value = 0;
    for (int digits = 0; !isSpace(c); ++digits) {
        if (!isDigit(c) || digits == longestNumber)
            return notPpm;
        *value = *value * 10 + (c - '0');
        const Wait wait = readFully(ffmpeg, pipe, &c, 1, &got);
        if (wait != Wait::Data)
            return {wait == Wait::Stopped ? FrameRead::Stopped : FrameRead::Cut, {}};
    }
    return {};
}

FrameRead readHeader(QProcess &ffmpeg, FramePipe &pipe, int frameNumber, Header *header)
{
    char magic[2];
    qint64 got = 0;
    const Wait wait = readFully(ffmpeg, pipe, magic, 2, &got);
    if (wait == Wait::Stopped)
        return {FrameRead::Stopped, {}};
    if (wait == Wait::End)
        return {got == 0 ? FrameRead::End : FrameRead::Cut, {}};
    if (magic[0] != 'P' || magic[1] != '6')
        return {FrameRead::Unreadable,
                QObject::tr("frame %1 is not a PPM picture").arg(frameNumber)};

    qint64 numbers[3] = {};
    for (qint64 &number : numbers) {
        const FrameRead read = readNumber(ffmpeg, pipe, frameNumber, &number);
        if (read.outcome != FrameRead::Frame)
            return read;
    }
    if (numbers[0] > largestSide || numbers[1] > largestSide)
        return {FrameRead::Unreadable, QObject::tr("frame %1 claims %2x%3 pixels, more than %4x%4")
                                           .arg(frameNumber)
                                           .arg(numbers[0])
                                           .arg(numbers[1])
                                           .arg(largestSide)};
    if (numbers[0] == 0 || numbers[1] == 0 || (numbers[2] != 255 && numbers[2] != 65535))
        return {FrameRead::Unreadable,
                QObject::tr("frame %1 is not an 8- or 16-bit PPM picture").arg(frameNumber)};
    *header = {int(numbers[0]), int(numbers[1]), int(numbers[2])};
    return {};
}

// How many frames handed out are kept for reuse: the walk holds at most
// three (its reference, the frame it compares and the kept one) and the
// queue readAhead, so one more is free whenever the walk has moved on.
constexpr qsizetype remembered = readAhead + 4;

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
    if (pipe.handedOut.size() > remembered)
        pipe.handedOut.removeFirst();
}

// The picture QImageReader makes of the PNG file ffmpeg would have written:
// RGB32 for 8-bit samples, RGBX64 for 16-bit ones. RGB32 is also what the
// similarity reads in place, without a conversion per comparison.
QImage pictureOf(FramePipe &pipe, const QByteArray &samples, const Header &header)
{
    const bool wide = header.largestValue > 255;
    QImage image = frameBuffer(pipe, header.width, header.height,
                               wide ? QImage::Format_RGBX64 : QImage::Format_RGB32);
    if (image.isNull()) // out of memory
        return image;
    const auto *source = reinterpret_cast<const uchar *>(samples.constData());
    const qsizetype rowBytes = qsizetype(header.width) * (wide ? 6 : 3);
    for (int y = 0; y < header.height; ++y) {
        const uchar *from = source + y * rowBytes;
        if (wide) {
            auto *to = reinterpret_cast<quint16 *>(image.scanLine(y));
            for (int x = 0; x < header.width; ++x, from += 6, to += 4) {
                to[0] = qFromBigEndian<quint16>(from);
                to[1] = qFromBigEndian<quint16>(from + 2);
                to[2] = qFromBigEndian<quint16>(from + 4);
                to[3] = 0xffff;
            }
        } else {
            auto *to = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < header.width; ++x, from += 3)
                to[x] = qRgb(from[0], from[1], from[2]);
        }
    }
    return image;
}

// Reads the next frame into *image. samples is the reader's buffer for the
// raw bytes, kept from frame to frame.
FrameRead readFrame(QProcess &ffmpeg, FramePipe &pipe, int frameNumber, QByteArray &samples,
                    QImage *image)
{
    Header header;
    const FrameRead read = readHeader(ffmpeg, pipe, frameNumber, &header);
    if (read.outcome != FrameRead::Frame)
        return read;
    const qint64 size = qint64(header.width) * header.height * (header.largestValue > 255 ? 6 : 3);
    samples.resize(size);
    qint64 got = 0;
    const Wait wait = readFully(ffmpeg, pipe, samples.data(), size, &got);
    if (wait != Wait::Data)
        return {wait == Wait::Stopped ? FrameRead::Stopped : FrameRead::Cut, {}};
    *image = pictureOf(pipe, samples, header);
    if (image->isNull())
        return {FrameRead::Unreadable,
                QObject::tr("frame %1 does not fit in memory").arg(frameNumber)};
    return {};
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
    QByteArray samples;
    for (int frameNumber = 1;; ++frameNumber) {
        QImage image;
        const FrameRead read = readFrame(ffmpeg, pipe, frameNumber, samples, &image);
        switch (read.outcome) {
        case FrameRead::Frame:
            rememberHandedOut(pipe, image);
            if (!deliver(pipe, {image, QString(), false}))
                return;
            break;
        case FrameRead::End:
        case FrameRead::Cut:
            if (waitForEnd(ffmpeg, pipe))
                deliver(pipe, lastEntry(ffmpeg, read.outcome == FrameRead::Cut, frameNumber));
            return;
        case FrameRead::Unreadable:
            deliver(pipe, {QImage(), read.why, false});
            return;
        case FrameRead::Stopped:
            return;
        }
    }
}

void runFfmpeg(FramePipe &pipe)
{
    QProcess ffmpeg;
    ffmpeg.setProgram(QStringLiteral("ffmpeg"));
    ffmpeg.setArguments({QStringLiteral("-i"), pipe.input, QStringLiteral("-vf"),
                         QStringLiteral("fps=%1").arg(pipe.fps), QStringLiteral("-f"),
                         QStringLiteral("image2pipe"), QStringLiteral("-c:v"),
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

std::function<std::optional<QImage>(int)> pipeFrames(const QString &input, int fps,
                                                     PipeFailure *failure)
{
    // Every copy of the function shares the one pipe; the last one to go
    // stops ffmpeg, if it still runs, and waits for the reader.
    auto pipe = std::make_shared<FramePipe>(input, fps, failure);
    return [pipe](int) { return takeFrame(*pipe); };
}
