#include "frames.h"
#include "speech.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QProcess>

#include <algorithm>

namespace
{

// Runs program with arguments to its end and gives what it wrote to
// standard output; nothing when it could not run or failed, with *failure
// saying why: ffmpeg's last line of complaint when it made one.
std::optional<QByteArray> outputOf(const QString &program, const QStringList &arguments,
                                   QString *failure)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    startChild(process, nullptr, QIODeviceBase::ReadOnly);
    if (!process.waitForStarted(-1)) {
        *failure = QObject::tr("Failed to run %1: %2").arg(program, process.errorString());
        return std::nullopt;
    }
    if (!process.waitForFinished(-1)) {
        process.kill();
        process.waitForFinished(-1);
    }
    const QByteArray output = process.readAllStandardOutput();
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return output;
    const QStringList complaints = QString::fromUtf8(process.readAllStandardError())
                                       .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    *failure = complaints.isEmpty() ? ffmpegExitFailure(process) : complaints.last().trimmed();
    return std::nullopt;
}

bool hasSubtitleStream(const QString &video)
{
    QString failure;
    const std::optional<QByteArray> streams = outputOf(
        QStringLiteral("ffprobe"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
         QStringLiteral("s"), QStringLiteral("-show_entries"), QStringLiteral("stream=index"),
         QStringLiteral("-of"), QStringLiteral("csv=p=0"), video},
        &failure);
    return streams && !streams->trimmed().isEmpty();
}

// "talk.vtt", "talk.srt", "talk.ass"; then "talk.LANG.vtt" and the like,
// as download tools name them, in name order.
std::optional<QString> sidecarOf(const QString &video)
{
    const QFileInfo info(video);
    const QDir folder = info.absoluteDir();
    const QString base = info.completeBaseName();
    const QStringList suffixes{QStringLiteral("vtt"), QStringLiteral("srt"), QStringLiteral("ass")};
    for (const QString &suffix : suffixes) {
        const QString name = base + QLatin1Char('.') + suffix;
        if (QFileInfo(folder.filePath(name)).isFile())
            return folder.filePath(name);
    }
    QStringList patterns;
    for (const QString &suffix : suffixes)
        patterns.append(base + QStringLiteral(".*.") + suffix);
    const QStringList found = folder.entryList(patterns, QDir::Files, QDir::Name);
    if (found.isEmpty())
        return std::nullopt;
    return folder.filePath(found.first());
}

} // namespace

std::optional<SubtitleSource> findSubtitles(const QString &video)
{
    if (hasSubtitleStream(video))
        return SubtitleSource{video, true};
    if (const std::optional<QString> sidecar = sidecarOf(video))
        return SubtitleSource{*sidecar, false};
    return std::nullopt;
}

std::optional<QList<Cue>> readSubtitles(const SubtitleSource &source, QString *failure)
{
    // ffmpeg reads every format it knows and writes one: WebVTT, with the
    // cues' text as the source gave it.
    const std::optional<QByteArray> document =
        outputOf(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"),
                  QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-i"),
                  source.path, QStringLiteral("-map"), QStringLiteral("0:s:0"),
                  QStringLiteral("-f"), QStringLiteral("webvtt"), QStringLiteral("pipe:1")},
                 failure);
    if (!document) {
        // ffmpeg names the file, which the message names already.
        const QString named = source.path + QStringLiteral(": ");
        if (failure->startsWith(named))
            failure->remove(0, named.size());
        return std::nullopt;
    }
    QList<Cue> cues = parseWebVtt(QString::fromUtf8(*document));
    if (cues.isEmpty()) {
        *failure = QObject::tr("no cues in it");
        return std::nullopt;
    }
    std::stable_sort(cues.begin(), cues.end(),
                     [](const Cue &a, const Cue &b) { return a.startMs < b.startMs; });
    return cues;
}
