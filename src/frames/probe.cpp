#include "frames.h"

#include <QProcess>

namespace
{

// The duration only serves the progress line: a probe that takes longer
// than this is not worth waiting for.
constexpr int probeLimitMs = 10000;

} // namespace

std::optional<double> videoDuration(const QString &input)
{
    QProcess ffprobe;
    ffprobe.setProgram(QStringLiteral("ffprobe"));
    ffprobe.setArguments({QStringLiteral("-v"), QStringLiteral("error"),
                          QStringLiteral("-show_entries"), QStringLiteral("format=duration"),
                          QStringLiteral("-of"),
                          QStringLiteral("default=noprint_wrappers=1:nokey=1"), input});
    // Its complaints about the input would come again from ffmpeg.
    ffprobe.setStandardErrorFile(QProcess::nullDevice());
    ffprobe.setStandardInputFile(QProcess::nullDevice());
    startChild(ffprobe, nullptr, QIODeviceBase::ReadOnly);
    if (!ffprobe.waitForFinished(probeLimitMs)) {
        ffprobe.kill();
        ffprobe.waitForFinished(-1);
        return std::nullopt;
    }
    bool ok = false;
    const double seconds =
        QString::fromLatin1(ffprobe.readAllStandardOutput()).trimmed().toDouble(&ok);
    if (ffprobe.exitStatus() != QProcess::NormalExit || ffprobe.exitCode() != 0 || !ok ||
        !(seconds > 0))
        return std::nullopt;
    return seconds;
}
