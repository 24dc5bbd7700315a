#include "slidefiles.h"

#include <QFile>
#include <QImageWriter>
#include <QObject>
#include <QSaveFile>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace
{

// Slide pictures are encoded here at zlib level 3 with every row predicted
// from the one above, which on slides takes a quarter of the time of Qt's
// writer at its defaults (level 6, a filter chosen per row) for files about
// 6 % larger (bench/bench_png). Pictures made on the way (cut out, cleaned:
// RGB32) take the same way as 8-bit RGB; deeper ones go through Qt's
// writer, which keeps their depth.
constexpr int slideLevel = 3;
constexpr PngFilter slideFilter = PngFilter::Up;

// Slides the writer holds while it encodes them; the walk waits for room.
constexpr std::size_t slidesQueued = 2;

bool writePng(QSaveFile &file, const QImage &picture, QString *error)
{
    const QImage::Format format = picture.format();
    if (format == QImage::Format_RGB888 || format == QImage::Format_RGB32) {
        const QByteArray png =
            pngOf(format == QImage::Format_RGB888 ? picture
                                                  : picture.convertToFormat(QImage::Format_RGB888),
                  slideLevel, slideFilter);
        if (!png.isEmpty() && file.write(png) == png.size())
            return true;
        *error = file.error() != QFileDevice::NoError ? file.errorString()
                                                      : QObject::tr("cannot compress the picture");
        return false;
    }
    QImageWriter writer(&file, "png");
    if (writer.write(picture))
        return true;
    *error = file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString();
    return false;
}

struct QueuedSlide {
    QString path;
    QImage picture;
};

// One thread encodes and writes the slides in the order they were handed
// over, so the walk goes on meanwhile. After the first slide that cannot be
// written it writes none: the slides on disk are always the first ones.
struct SlideQueue {
    SlideQueue(const QDir &outDir, SlideFailure *failure);
    ~SlideQueue();
    Q_DISABLE_COPY_MOVE(SlideQueue)

    const QDir outDir;
    SlideFailure *const failure; // set by the writer thread; read once it has ended
    int handedOver = 0;          // walk only

    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::deque<QueuedSlide> queue;
    bool failed = false;
    bool closing = false;

    std::thread writer;
};

void writeQueued(SlideQueue &slides)
{
    std::unique_lock<std::mutex> lock(slides.mutex);
    for (;;) {
        slides.changed.wait(lock, [&] { return slides.closing || !slides.queue.empty(); });
        if (slides.queue.empty())
            return;
        const QueuedSlide slide = slides.queue.front();
        lock.unlock();
        QString error;
        const bool written = writeSlide(slide.picture, slide.path, &error);
        lock.lock();
        slides.queue.pop_front();
        if (!written) {
            *slides.failure = {slide.path, error};
            slides.failed = true;
            slides.queue.clear();
        }
        slides.changed.notify_all();
    }
}

SlideQueue::SlideQueue(const QDir &outDir, SlideFailure *failure) : outDir(outDir), failure(failure)
{
    writer = std::thread(writeQueued, std::ref(*this));
}

SlideQueue::~SlideQueue()
{
    // Every slide handed over is written, or refused, before this returns.
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
    }
    changed.notify_all();
    writer.join();
}

// False once a slide could not be written. The slide's file is named as it
// is handed over, in the order the slides come.
bool handOver(SlideQueue &slides, SlideRecord &slide, const QImage &picture)
{
    const QString path = slides.outDir.filePath(slideFileName(++slides.handedOver));
    slide.image = path;
    std::unique_lock<std::mutex> lock(slides.mutex);
    slides.changed.wait(lock, [&] { return slides.failed || slides.queue.size() < slidesQueued; });
    if (slides.failed)
        return false;
    slides.queue.push_back({path, picture});
    slides.changed.notify_all();
    return true;
}

} // namespace

QString slideFileName(int slideNumber)
{
    return QStringLiteral("slide_%1.png").arg(slideNumber, 4, 10, QLatin1Char('0'));
}

bool exportSlides(const QStringList &paths, const QDir &outDir, QList<SlideRecord> *slides,
                  RenameFailure *failure)
{
    // The slides' kept frames come in time order, as the frames do.
    auto slide = slides->begin();
    int slideNumber = 1;
    for (int frame = 0; frame < paths.size(); ++frame) {
        const QString &path = paths.at(frame);
        while (slide != slides->end() && (slide->isVideo() || slide->segment.keptFrame < frame))
            ++slide;
        if (slide == slides->end() || slide->segment.keptFrame != frame) {
            // A frame that cannot be deleted only costs disk space.
            QFile::remove(path);
            continue;
        }
        const QString target = outDir.filePath(slideFileName(slideNumber));
        // rename() never replaces a file: an earlier run's slide goes first.
        QFile::remove(target);
        if (!QFile::rename(path, target)) {
            *failure = {path, target};
            return false;
        }
        slide->image = target;
        ++slideNumber;
    }
    return true;
}

bool writeSlide(const QImage &picture, const QString &path, QString *error)
{
    // QSaveFile writes into a temporary file beside path and renames it over
    // path only once the picture is whole; on every failure it removes the
    // temporary file, and path still holds what it held before.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    if (!writePng(file, picture, error)) {
        file.cancelWriting();
        return false;
    }
    return commitWhole(file, error);
}

bool commitWhole(QSaveFile &file, QString *error)
{
    // commit() does not notice a failure to write out its buffer (a full
    // disk, say) and would rename a cut file into place: the buffer goes
    // out here, where a failure is seen.
    if (!file.flush()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

RecordSink slideWriter(const QDir &outDir, SlideFailure *failure)
{
    // Every copy of the sink shares the one queue; the last one to go waits
    // for the slides still queued.
    const auto slides = std::make_shared<SlideQueue>(outDir, failure);
    return [slides](SlideRecord &slide, const QImage &picture) {
        return handOver(*slides, slide, picture);
    };
}
