// Where the slide is found in frame files, and how long finding it and
// cutting it out take: bench_region FRAME.png... [--out DIR]
// With --out, each frame's cut-out picture is saved there under its name,
// its light flattened.
#include "image.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList paths = QCoreApplication::arguments().mid(1);
    QString outDir;
    const qsizetype out = paths.indexOf(QStringLiteral("--out"));
    if (out >= 0 && out + 1 < paths.size()) {
        outDir = paths.at(out + 1);
        paths.remove(out, 2);
    }
    QTextStream text(stdout);
    for (const QString &path : paths) {
        const QImage frame(path);
        QElapsedTimer timer;
        timer.start();
        const std::optional<SlideRegion> region = findSlideRegion(frame);
        const qint64 findNs = timer.nsecsElapsed();
        text << QFileInfo(path).fileName() << ' ';
        if (!region) {
            text << "none " << findNs / 1000 << " us\n";
            continue;
        }
        timer.restart();
        const QImage picture = straightened(frame, *region);
        const qint64 cutNs = timer.nsecsElapsed();
        for (const QPointF &corner : region->corners)
            text << '(' << corner.x() << ',' << corner.y() << ") ";
        text << region->size.width() << 'x' << region->size.height()
             << (region->rect.isNull() ? " straightened " : " upright ") << findNs / 1000
             << " us find, " << cutNs / 1000 << " us cut\n";
        if (!outDir.isEmpty())
            flattenedLight(picture).save(QDir(outDir).filePath(QFileInfo(path).fileName()));
    }
    return 0;
}
