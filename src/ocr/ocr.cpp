#include "ocr.h"
#include "prepare.h"

#include <QImage>
#include <QImageReader>
#include <QObject>
#include <QThread>

#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <omp.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct SlideReader {
    SlideReader(const QString &languages, const OcrControl &control);
    ~SlideReader();
    Q_DISABLE_COPY_MOVE(SlideReader)

    // Under mutex, as the caller fails to hand over or a thread to start.
    void fail(const QString &reason)
    {
        if (!failed)
            failure = reason;
        failed = true;
        changed.notify_all();
    }

    const QString languages;
    const OcrControl control;
    std::size_t queueLimit = 1;

    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::deque<std::pair<int, QImage>> queue; // slide number and picture
    std::map<int, QString> texts;
    bool closing = false;
    bool failed = false;
    QString failure;

    std::vector<std::thread> threads;
};

namespace
{

// Tesseract writes its diagnostics ("Estimating resolution as ...", a
// missing data file) on standard error, which carries only this tool's
// messages; the reason reaches the user in the tool's own message.
std::unique_ptr<tesseract::TessBaseAPI> startTesseract(const QString &languages)
{
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    api->SetVariable("debug_file", "/dev/null");
    if (api->Init(nullptr, languages.toUtf8().constData(), tesseract::OEM_LSTM_ONLY) != 0)
        return nullptr;
    return api;
}

// Tesseract asks its monitor now and then whether to give up on a picture,
// so a stop does not wait for a whole slide to be read.
// A reader made without a stop function is never stopped.
bool cancelled(void *stop, int)
{
    const auto &asked = *static_cast<const std::function<bool()> *>(stop);
    return asked && asked();
}

// What Tesseract makes of a bullet, a rule or a row of navigation dots: a
// sign with no letter or digit ("@", "-"), a round mark read as a letter
// ("e", "o", "0" for a disc), a single letter it is unsure of, or one
// character over and over ("0000", "....").
bool isWord(const QString &token, float confidence)
{
    constexpr float sureOfALetter = 85;
    static const QString roundMarks = QStringLiteral("oO0e\u00b0\u2022");
    const bool hasLetterOrDigit =
        std::any_of(token.cbegin(), token.cend(), [](QChar c) { return c.isLetterOrNumber(); });
    if (!hasLetterOrDigit)
        return false;
    if (token.size() == 1)
        return !roundMarks.contains(token.front()) && confidence >= sureOfALetter;
    return token.size() < 3 || token.count(token.front()) < token.size();
}

// The words read, a line of text to a line, without what is not words.
QString wordsRead(tesseract::TessBaseAPI &api)
{
    const std::unique_ptr<tesseract::ResultIterator> words(api.GetIterator());
    QStringList lines;
    QStringList line;
    for (bool more = words != nullptr; more; more = words->Next(tesseract::RIL_WORD)) {
        if (words->IsAtBeginningOf(tesseract::RIL_TEXTLINE) && !line.isEmpty()) {
            lines.append(line.join(QLatin1Char(' ')));
            line.clear();
        }
        if (words->Empty(tesseract::RIL_WORD))
            continue;
        const std::unique_ptr<char[]> text(words->GetUTF8Text(tesseract::RIL_WORD));
        const QString word = QString::fromUtf8(text.get()).trimmed();
        if (isWord(word, words->Confidence(tesseract::RIL_WORD)))
            line.append(word);
    }
    if (!line.isEmpty())
        lines.append(line.join(QLatin1Char(' ')));
    return lines.join(QLatin1Char('\n'));
}

// Slides are not pages of prose: short lines, boxes, words at the sides.
// Tesseract's own layout analysis finds them, where reading the slide as
// one block of text loses the words in boxes and side columns.
QString textOf(tesseract::TessBaseAPI &api, const QImage &image, const std::function<bool()> &stop)
{
    const QImage grey = preparedForReading(image);
    api.SetPageSegMode(tesseract::PSM_AUTO);
    api.SetImage(grey.constBits(), grey.width(), grey.height(), 1, int(grey.bytesPerLine()));
    tesseract::ETEXT_DESC monitor;
    monitor.cancel = cancelled;
    monitor.cancel_this = const_cast<std::function<bool()> *>(&stop);
    const bool read = api.Recognize(&monitor) == 0 && !(stop && stop());
    const QString text = read ? wordsRead(api) : QString();
    api.Clear();
    return text;
}

bool stopped(const OcrControl &control)
{
    return control.stop && control.stop();
}

// One Tesseract per thread: an instance must not be shared between threads.
void readQueued(SlideReader *reader)
{
    // These threads are the parallelism: Tesseract's own OpenMP threads on
    // top of them would only contend for the same cores. Set in each
    // thread, as OpenMP keeps it per thread.
    omp_set_max_active_levels(0);
    const std::unique_ptr<tesseract::TessBaseAPI> api = startTesseract(reader->languages);
    std::unique_lock<std::mutex> lock(reader->mutex);
    if (!api) {
        reader->fail(QObject::tr("cannot start Tesseract for %1").arg(reader->languages));
        return;
    }
    for (;;) {
        reader->changed.wait(lock, [&] { return reader->closing || !reader->queue.empty(); });
        if (reader->queue.empty() || reader->failed)
            return;
        const std::pair<int, QImage> slide = reader->queue.front();
        reader->queue.pop_front();
        reader->changed.notify_all();
        lock.unlock();
        const QString text =
            stopped(reader->control) ? QString() : textOf(*api, slide.second, reader->control.stop);
        lock.lock();
        reader->texts[slide.first] = text;
        if (reader->control.progress)
            reader->control.progress(int(reader->texts.size()));
    }
}

} // namespace

bool ocrLanguagesAvailable(const QString &languages, QString *missing)
{
    // Tesseract starts with whichever of several languages it has, so each
    // is tried on its own.
    for (const QString &language : languages.split(QLatin1Char('+'))) {
        if (language.isEmpty() || !startTesseract(language)) {
            *missing = language.isEmpty() ? languages : language;
            return false;
        }
    }
    return true;
}

SlideReader::SlideReader(const QString &languages, const OcrControl &control)
    : languages(languages), control(control)
{
    const int threadCount = std::max(1, QThread::idealThreadCount());
    // A picture waiting for each thread, and no more: memory holds a few
    // slides whatever the talk's length.
    queueLimit = std::size_t(threadCount);
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back(readQueued, this);
}

SlideReader::~SlideReader()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        closing = true;
    }
    changed.notify_all();
    for (std::thread &thread : threads)
        thread.join();
}

std::shared_ptr<SlideReader> startSlideReader(const QString &languages, const OcrControl &control)
{
    return std::make_shared<SlideReader>(languages, control);
}

bool readLater(SlideReader &reader, int number, const QImage &picture)
{
    std::unique_lock<std::mutex> lock(reader.mutex);
    reader.changed.wait(lock, [&] {
        return reader.failed || reader.queue.size() < reader.queueLimit || stopped(reader.control);
    });
    if (reader.failed)
        return false;
    reader.queue.emplace_back(number, picture);
    reader.changed.notify_all();
    return true;
}

bool finishReading(std::shared_ptr<SlideReader> reader, std::map<int, QString> *texts,
                   QString *failure)
{
    SlideReader &done = *reader;
    {
        const std::lock_guard<std::mutex> lock(done.mutex);
        done.closing = true;
    }
    done.changed.notify_all();
    for (std::thread &thread : done.threads)
        thread.join();
    done.threads.clear();
    if (done.failed) {
        *failure = done.failure;
        return false;
    }
    *texts = std::move(done.texts);
    return !stopped(done.control);
}

bool readSlideTexts(const QStringList &imagePaths, const QString &languages,
                    const OcrControl &control, QStringList *texts, QString *failure)
{
    const std::shared_ptr<SlideReader> reader = startSlideReader(languages, control);
    for (int i = 0; i < imagePaths.size(); ++i) {
        QImageReader file(imagePaths.at(i));
        const QImage image = file.read();
        if (image.isNull()) {
            *failure = QObject::tr("cannot read %1: %2").arg(imagePaths.at(i), file.errorString());
            return false;
        }
        if (!readLater(*reader, i, image))
            break;
    }
    std::map<int, QString> byNumber;
    if (!finishReading(reader, &byNumber, failure))
        return false;
    texts->clear();
    for (int i = 0; i < imagePaths.size(); ++i)
        texts->append(byNumber[i]);
    return true;
}
