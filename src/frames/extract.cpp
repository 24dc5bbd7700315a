#include "frames.h"

#include <QObject>
#include <QProcess>

namespace
{

// ffmpeg reads every '%' of its output pattern as the start of a directive,
// so the directory part needs its '%' doubled to be taken literally.
QString framePattern(const QString &outDir)
{
    QString literalDir = outDir;
    literalDir.replace(QLatin1Char('%'), QLatin1String("%%"));
    return QDir(literalDir).filePath(QStringLiteral("frame_%1.png").arg(QStringLiteral("%06d")));
}

} // namespace

bool extractFrames(const QString &input, const QString &outDir, int fps, QString *failure)
{
    if (!makeOutputDirectory(outDir, failure))
        return false;

    QProcess ffmpeg;
    ffmpeg.setProgram(QStringLiteral("ffmpeg"));
    ffmpeg.setArguments({QStringLiteral("-i"), input, QStringLiteral("-vf"),
                         QStringLiteral("fps=%1").arg(fps), framePattern(outDir)});
    ffmpeg.setProcessChannelMode(QProcess::ForwardedChannels);
    startChild(ffmpeg);
    // Nothing is ever written to ffmpeg. Left open, its standard input would
    // make "-i -" or any question ffmpeg asks wait forever for an answer.
    ffmpeg.closeWriteChannel();

    if (!ffmpeg.waitForFinished(-1)) {
        *failure = QObject::tr("Failed to run ffmpeg: %1").arg(ffmpeg.errorString());
        return false;
    }
    *failure = ffmpegExitFailure(ffmpeg);
    return failure->isEmpty();
}

QString ffmpegExitFailure(const QProcess &ffmpeg)
{
    // A killed ffmpeg has the signal's number for its code.
    if (ffmpeg.exitStatus() == QProcess::CrashExit || ffmpeg.exitCode() != 0)
        return QObject::tr("ffmpeg exited with code %1").arg(ffmpeg.exitCode());
    return QString();
}
