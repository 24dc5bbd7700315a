// The words spoken in a talk, from its subtitles: read in whatever format
// ffmpeg reads (a file of its own or a stream of the video), made plain,
// each word once, and shared out over the talk's segments by time.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One subtitle cue: its text shows from startMs until endMs.
struct Cue {
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString text;
};

// Where subtitles are read from: a file, or the first subtitle stream of a
// video.
struct SubtitleSource {
    QString path;
    bool isStream = false;
};

// What "auto" finds for video: its first subtitle stream, else a file
// beside it named like it ("talk.vtt", "talk.srt", "talk.ass", then
// "talk.en.vtt" and the like, in name order). Nothing when there is none.
std::optional<SubtitleSource> findSubtitles(const QString &video);

// The cues of source, as ffmpeg converts them to WebVTT, their text still
// marked up. Nothing when ffmpeg cannot read them or they hold no cue;
// *failure then says why, in one line.
std::optional<QList<Cue>> readSubtitles(const SubtitleSource &source, QString *failure);

// The cues of a WebVTT document, in the order it gives them.
QList<Cue> parseWebVtt(const QString &document);

// A cue's text as plain words: tags (voice, class, italics, inline
// timestamps) and line breaks gone, character references decoded, spaces
// collapsed.
QString plainCueText(const QString &text);

// The cues made plain, each keeping only the words it adds to the one
// before: captions that roll up show each line two or three times, and a
// cue that only repeats what was shown adds nothing. Empty cues are left
// out; the rest keep their times.
QList<Cue> wordsOnce(const QList<Cue> &cues);

// A span of the talk, from startMs until endMs.
struct Span {
    qint64 startMs = 0;
    qint64 endMs = 0;
};

// The words of cues spoken in each span, in order: a cue goes to the span
// that holds most of its time, one of no length to the span it starts in
// (or the nearest).
QStringList speechBySpan(const QList<Cue> &cues, const QList<Span> &spans);
