#include "app.h"

#include <QObject>

bool loadSubtitlesAsked(const RunOptions &options, QList<Cue> *cues)
{
    if (options.subtitles.isEmpty())
        return true;
    std::optional<SubtitleSource> source;
    if (options.subtitles == QLatin1String("auto")) {
        source = findSubtitles(options.input);
        if (!source) {
            writeMessage(QObject::tr("no subtitles found in or beside %1; going on without\n")
                             .arg(options.input));
            return true;
        }
    } else {
        source = SubtitleSource{options.subtitles, false};
    }
    QString failure;
    const std::optional<QList<Cue>> read = readSubtitles(*source, &failure);
    if (!read) {
        if (interruptSignal() != 0)
            return false;
        writeMessage(QObject::tr("cannot read subtitles %1: %2\n").arg(source->path, failure));
        return false;
    }
    *cues = wordsOnce(*read);
    return true;
}

void attachSpeech(const QList<Cue> &cues, int fps, QList<SlideRecord> *records)
{
    if (cues.isEmpty() || fps <= 0)
        return;
    QList<Span> spans;
    for (const SlideRecord &record : *records) {
        spans.append(Span{qint64(record.segment.startFrame) * 1000 / fps,
                          (qint64(record.segment.endFrame) + 1) * 1000 / fps});
    }
    const QStringList speech = speechBySpan(cues, spans);
    for (qsizetype i = 0; i < records->size(); ++i)
        (*records)[i].speech = speech.at(i);
}
