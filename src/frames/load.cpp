#include "frames.h"

#include <QImageReader>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

// A reader of its own per file, left to find the format itself. When *image
// already has the frame's size and format and shares its pixels with nobody,
// the reader decodes into them instead of allocating a new frame.
bool decodeFrame(const QString &path, QImage *image, QString *error)
{
    QImageReader reader(path, QByteArray());
    if (reader.read(image) && !image->isNull())
        return true;
    *error = reader.errorString();
    return false;
}

// One frame of the read-ahead window.
struct Slot {
    enum State { Queued, Decoding, Decoded } state = Queued;
    QImage image; // queued: a buffer to decode into; decoded: the frame, null on failure
    QString error;
};

// Worker threads decode the frames of a window that starts at the frame the
// caller asks for and reaches depth frames beyond it, earliest first;
// the caller takes them strictly in frame order. So the first frame that
// cannot be decoded is the one reported, whatever the workers found after
// it, and memory depends on the read-ahead, never on the number of frames.
//
// The threads and the locking are the standard library's rather than Qt's
// pool and futures: a thread sanitizer sees every hand-over then, even with
// a Qt that was not built for it.
struct ReadAhead {
    ReadAhead(const QStringList &paths, LoadFailure *failure);
    ~ReadAhead();
    Q_DISABLE_COPY_MOVE(ReadAhead)

    const QStringList paths;
    LoadFailure *const failure;
    int depth = 0;           // frames decoded ahead of the one asked for
    QList<QImage> handedOut; // the last frames handed out, oldest first; caller only

    std::mutex mutex; // guards what follows
    std::condition_variable frameQueued;
    std::condition_variable frameDecoded;
    std::deque<Slot> window; // frames windowStart, windowStart + 1, ...
    int windowStart = 0;
    bool stopping = false;

    std::vector<std::thread> workers;
};

// How many frames handed out are remembered for reuse: the walk holds on to
// at most two (its reference and the frame it compares), so one more always
// leaves a buffer nobody holds once the walk has moved on.
const qsizetype remembered = 3;

// A frame handed out earlier that nobody holds any more, to be decoded over;
// or a null image, for which the reader allocates.
QImage spareBuffer(ReadAhead &readAhead)
{
    QList<QImage> &images = readAhead.handedOut;
    for (qsizetype i = 0; i < images.size(); ++i) {
        if (images.at(i).isDetached())
            return images.takeAt(i);
    }
    return QImage();
}

int firstQueued(const ReadAhead &readAhead)
{
    for (std::size_t i = 0; i < readAhead.window.size(); ++i) {
        if (readAhead.window[i].state == Slot::Queued)
            return readAhead.windowStart + int(i);
    }
    return -1;
}

// Decodes frame index, queued in the window, without holding the lock. The
// buffer moves out of the slot, so this thread holds the only reference to
// its pixels and decodes into them in place.
void decodeQueued(ReadAhead &readAhead, std::unique_lock<std::mutex> &lock, int index)
{
    Slot &slot = readAhead.window[std::size_t(index - readAhead.windowStart)];
    slot.state = Slot::Decoding;
    QImage image = std::move(slot.image);
    const QString path = readAhead.paths.at(index);
    lock.unlock();
    QString error;
    if (!decodeFrame(path, &image, &error))
        image = QImage();
    lock.lock();

    // The caller may have skipped the frame, or asked for frames out of turn
    // and queued it anew, meanwhile.
    const int offset = index - readAhead.windowStart;
    if (offset < 0 || offset >= int(readAhead.window.size()))
        return;
    Slot &now = readAhead.window[std::size_t(offset)];
    if (now.state != Slot::Decoding)
        return;
    now = {Slot::Decoded, std::move(image), error};
    readAhead.frameDecoded.notify_all();
}

void work(ReadAhead &readAhead)
{
    std::unique_lock<std::mutex> lock(readAhead.mutex);
    for (;;) {
        int index = -1;
        readAhead.frameQueued.wait(
            lock, [&] { return readAhead.stopping || (index = firstQueued(readAhead)) >= 0; });
        if (readAhead.stopping)
            return;
        decodeQueued(readAhead, lock, index);
    }
}

ReadAhead::ReadAhead(const QStringList &paths, LoadFailure *failure)
    : paths(paths), failure(failure)
{
    const int threads = QThread::idealThreadCount();
    depth = 2 * threads;
    const qsizetype workerCount = std::min(qsizetype(threads), paths.size());
    workers.reserve(std::size_t(workerCount));
    for (qsizetype i = 0; i < workerCount; ++i)
        workers.emplace_back(work, std::ref(*this));
}

ReadAhead::~ReadAhead()
{
    // Workers finish the frame in hand and skip the rest, so none outlives
    // the paths or the window.
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    frameQueued.notify_all();
    for (std::thread &worker : workers)
        worker.join();
}

// Makes the window start at index. Frames skipped over are dropped; a frame
// asked for out of turn starts the window afresh.
void moveWindowTo(ReadAhead &readAhead, int index)
{
    const int end = readAhead.windowStart + int(readAhead.window.size());
    if (index < readAhead.windowStart || index >= end) {
        readAhead.window.clear();
        readAhead.windowStart = index;
        return;
    }
    for (; readAhead.windowStart < index; ++readAhead.windowStart)
        readAhead.window.pop_front();
}

void queueFramesBefore(ReadAhead &readAhead, qsizetype end)
{
    end = std::min(end, readAhead.paths.size());
    for (qsizetype next = readAhead.windowStart + qsizetype(readAhead.window.size()); next < end;
         ++next)
        readAhead.window.push_back({Slot::Queued, spareBuffer(readAhead), QString()});
}

QImage takeFrame(ReadAhead &readAhead, int index)
{
    std::unique_lock<std::mutex> lock(readAhead.mutex);
    moveWindowTo(readAhead, index);
    queueFramesBefore(readAhead, qsizetype(index) + 1 + readAhead.depth);
    readAhead.frameQueued.notify_all();
    // No worker has got to the frame asked for: decoding it here beats
    // waiting for one.
    if (readAhead.window.front().state == Slot::Queued)
        decodeQueued(readAhead, lock, index);
    readAhead.frameDecoded.wait(lock,
                                [&] { return readAhead.window.front().state == Slot::Decoded; });
    Slot slot = std::move(readAhead.window.front());
    readAhead.window.pop_front();
    ++readAhead.windowStart;
    lock.unlock();

    if (slot.image.isNull()) {
        *readAhead.failure = {readAhead.paths.at(index), slot.error};
        return QImage();
    }
    readAhead.handedOut.append(slot.image);
    if (readAhead.handedOut.size() > remembered)
        readAhead.handedOut.removeFirst();
    return slot.image;
}

} // namespace

QImage loadFrame(const QString &path, LoadFailure *failure)
{
    QImage image;
    QString error;
    if (decodeFrame(path, &image, &error))
        return image;
    *failure = {path, error};
    return QImage();
}

FrameSource loadFrames(const QStringList &paths, LoadFailure *failure)
{
    // Every copy of the function shares the one read-ahead; the last one to
    // go stops the workers and waits for them.
    auto readAhead = std::make_shared<ReadAhead>(paths, failure);
    return [readAhead](int index) -> std::optional<QImage> {
        if (index >= readAhead->paths.size())
            return std::nullopt;
        return takeFrame(*readAhead, index);
    };
}
