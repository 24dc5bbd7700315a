#include "output.h"

#include <QFile>
#include <QImageWriter>
#include <QObject>
#include <QSaveFile>

#include <memory>

QString slideFileName(int slideNumber)
{
    return QStringLiteral("slide_%1.png").arg(slideNumber, 4, 10, QLatin1Char('0'));
}

QStringList slideImageNames(const QList<Segment> &segments)
{
    QStringList names;
    int pictures = 0;
    for (const Segment &segment : segments) {
        if (segment.isVideo)
            continue;
        const bool repeat = segment.repeatOf > 0 && segment.repeatOf <= names.size();
        names.append(repeat ? names.at(segment.repeatOf - 1) : slideFileName(++pictures));
    }
    return names;
}

bool exportSlides(const QStringList &paths, const QSet<int> &keepSet, const QDir &outDir)
{
    int slideNumber = 1;
    for (int frame = 0; frame < paths.size(); ++frame) {
        const QString &path = paths.at(frame);
        if (!keepSet.contains(frame)) {
            // A frame that cannot be deleted only costs disk space.
            QFile::remove(path);
            continue;
        }
        const QString target = outDir.filePath(slideFileName(slideNumber));
        // rename() never replaces a file: an earlier run's slide goes first.
        QFile::remove(target);
        if (!QFile::rename(path, target)) {
            writeMessage(QObject::tr("failed to rename %1 to %2\n").arg(path, target));
            return false;
        }
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
    QImageWriter writer(&file, "png");
    if (!writer.write(picture)) {
        *error = file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString();
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

SlideSink slideWriter(const QDir &outDir, SlideFailure *failure)
{
    // Every copy of the sink counts on.
    const auto written = std::make_shared<int>(0);
    return [outDir, failure, written](const Segment &, const QImage &picture) {
        const QString path = outDir.filePath(slideFileName(*written + 1));
        QString error;
        if (!writeSlide(picture, path, &error)) {
            *failure = {path, error};
            return false;
        }
        ++*written;
        return true;
    };
}
