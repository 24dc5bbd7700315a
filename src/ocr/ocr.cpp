#include "ocr.h"

#include <QImage>
#include <QImageReader>
#include <QObject>
#include <QThread>

#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>

#include <omp.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

// Lines of words without the blank lines and trailing spaces Tesseract
// puts between blocks.
QString tidyText(const QString &text)
{
    QStringList lines;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            lines.append(trimmed);
    }
    return lines.join(QLatin1Char('\n'));
}

// Tesseract reads dark words on a light ground. A dark slide is turned
// around as a whole first; then light words on dark boxes and bars are
// turned around where they are: every pixel whose surroundings are clearly
// dark on average is inverted. The surroundings are blocks of a sixtieth
// of the width, a few letters wide on a slide; a line of big bold letters
// on a light ground darkens them only to a middle grey, which stays.
QImage darkOnLight(QImage grey)
{
    const int block = std::max(1, grey.width() / 60);
    const QSize coarse(std::max(1, grey.width() / block), std::max(1, grey.height() / block));
    if (qGray(grey.scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).pixel(0, 0)) < 128)
        grey.invertPixels();
    const QImage surroundings =
        grey.scaled(coarse, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
            .scaled(grey.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    for (int y = 0; y < grey.height(); ++y) {
        const uchar *around = surroundings.constScanLine(y);
        uchar *pixel = grey.scanLine(y);
        for (int x = 0; x < grey.width(); ++x) {
            if (around[x] < 80)
                pixel[x] = uchar(255 - pixel[x]);
        }
    }
    return grey;
}

// Tesseract asks its monitor now and then whether to give up on a picture,
// so a stop does not wait for a whole slide to be read.
bool cancelled(void *stop, int)
{
    return (*static_cast<const std::function<bool()> *>(stop))();
}

QString textOf(tesseract::TessBaseAPI &api, const QImage &image, const std::function<bool()> &stop)
{
    const QImage grey = darkOnLight(image.convertToFormat(QImage::Format_Grayscale8));
    api.SetImage(grey.constBits(), grey.width(), grey.height(), 1, int(grey.bytesPerLine()));
    tesseract::ETEXT_DESC monitor;
    monitor.cancel = cancelled;
    monitor.cancel_this = const_cast<std::function<bool()> *>(&stop);
    const bool read = api.Recognize(&monitor) == 0 && !stop();
    const std::unique_ptr<char[]> text(read ? api.GetUTF8Text() : nullptr);
    api.Clear();
    return text ? tidyText(QString::fromUtf8(text.get())) : QString();
}

// What the reading threads share: the next image to take, the texts by
// position, and the first failure, after which they stop.
struct Reading {
    const QStringList &paths;
    const QString &languages;
    const OcrControl &control;
    std::vector<QString> texts;
    std::atomic<int> done{0};
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex failureLock;
    QString failure;

    void fail(const QString &reason)
    {
        const std::lock_guard<std::mutex> lock(failureLock);
        if (!failed.exchange(true))
            failure = reason;
    }
};

bool stopped(const Reading &reading)
{
    return reading.control.stop && reading.control.stop();
}

// One Tesseract per thread: an instance must not be shared between threads.
void readImages(Reading *reading)
{
    // These threads are the parallelism: Tesseract's own OpenMP threads on
    // top of them would only contend for the same cores. Set in each
    // thread, as OpenMP keeps it per thread.
    omp_set_max_active_levels(0);
    const std::unique_ptr<tesseract::TessBaseAPI> api = startTesseract(reading->languages);
    if (!api) {
        reading->fail(QObject::tr("cannot start Tesseract for %1").arg(reading->languages));
        return;
    }
    for (int i = reading->next++;
         i < reading->paths.size() && !reading->failed && !stopped(*reading); i = reading->next++) {
        QImageReader reader(reading->paths.at(i));
        const QImage image = reader.read();
        if (image.isNull()) {
            reading->fail(
                QObject::tr("cannot read %1: %2").arg(reading->paths.at(i), reader.errorString()));
            return;
        }
        reading->texts[size_t(i)] = textOf(*api, image, reading->control.stop);
        if (reading->control.progress)
            reading->control.progress(++reading->done);
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

bool readSlideTexts(const QStringList &imagePaths, const QString &languages,
                    const OcrControl &control, QStringList *texts, QString *failure)
{
    if (imagePaths.isEmpty())
        return true;
    Reading reading{imagePaths, languages, control, std::vector<QString>(size_t(imagePaths.size())),
                    {},         {},        {},      {},
                    {}};
    const int threadCount =
        std::max(1, std::min(QThread::idealThreadCount(), int(imagePaths.size())));
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back(readImages, &reading);
    for (std::thread &thread : threads)
        thread.join();
    if (reading.failed) {
        *failure = reading.failure;
        return false;
    }
    *texts = QStringList(reading.texts.begin(), reading.texts.end());
    return !stopped(reading);
}
