#include "output.h"

#include <QFile>
#include <QObject>

QString slideFileName(int slideNumber)
{
    return QStringLiteral("slide_%1.png").arg(slideNumber, 4, 10, QLatin1Char('0'));
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
