#include "output.h"

#include <QTextStream>

#include <cstdio>

namespace
{

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// The time of a frame in whole seconds, truncated; hours take as many
// digits as they need.
QString formatTime(int frameIndex, int fps)
{
    if (fps <= 0)
        return QStringLiteral("00:00:00");
    const int seconds = frameIndex / fps;
    return QStringLiteral("%1:%2:%3")
        .arg(twoDigits(seconds / 3600), twoDigits(seconds % 3600 / 60), twoDigits(seconds % 60));
}

} // namespace

void printTimeline(const QList<Segment> &segments, int fps, const QDir &outDir)
{
    // One stream for the whole report. If standard output cannot take it,
    // the text is lost; the run has done its work and still succeeds.
    QTextStream out(stdout);
    int slideNumber = 1;
    for (const Segment &segment : segments) {
        out << formatTime(segment.startFrame, fps) << " - " << formatTime(segment.endFrame, fps)
            << '\t';
        if (segment.isVideo)
            out << segment.videoLabel;
        else
            out << outDir.filePath(slideFileName(slideNumber++));
        out << '\n';
    }
}
