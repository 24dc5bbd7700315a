#include "frames.h"

#include <QImageReader>

QImage loadFrame(const QString &path, LoadFailure *failure)
{
    // A reader of its own per file, left to find the format itself.
    QImageReader reader(path, QByteArray());
    QImage image = reader.read();
    if (image.isNull())
        *failure = {path, reader.errorString()};
    return image;
}

std::function<QImage(int)> loadFrames(const QStringList &paths, LoadFailure *failure)
{
    return [paths, failure](int index) { return loadFrame(paths.at(index), failure); };
}
