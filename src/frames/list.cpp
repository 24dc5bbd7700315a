#include "frames.h"

QStringList listFrames(const QDir &outDir)
{
    // ffmpeg's zero-padded numbers make name order time order. The match
    // ignores letter case; directories named like frames are left out.
    const QStringList names =
        outDir.entryList({QStringLiteral("frame_*.png")}, QDir::Files, QDir::Name);
    QStringList paths;
    paths.reserve(names.size());
    for (const QString &name : names)
        paths.append(outDir.filePath(name));
    return paths;
}
