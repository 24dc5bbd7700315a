// The timeline report on standard output, in the format asked for, read
// from the record of every segment.
#pragma once

#include "core.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// A time in whole seconds as "HH:MM:SS"; hours take as many digits as they
// need.
QString clockTime(qint64 seconds);

enum class ReportFormat { Text, Json, Csv, Vtt, FfMetadata, Markdown };

// The format called "text", "json", "csv", "vtt", "ffmetadata" or
// "markdown" (exactly so, lower case), or nothing.
std::optional<ReportFormat> reportFormatNamed(const QString &name);

// What the reports tell about the run besides the segments.
struct RunSummary {
    QString input;             // as given on the command line
    QJsonObject options;       // the options that shaped the timeline
    bool textsRead = false;    // the slides' words were read, so every format shows them
    bool pagesMatched = false; // the slides were matched to a deck, so the formats show pages
    QStringList pageTitles;    // each page's title, from page 1; empty for a page without words
    bool speechGiven = false;  // subtitles were asked for: the formats show what was said
};

// What a chapter or a cue calls a segment: the title of the page a slide
// shows when it has one, else "Slide 3" or "Video 1".
QString segmentTitle(const SlideRecord &record, const RunSummary &run);

// What a report names a segment by: a slide's image file, a video's label.
QString imageOrLabel(const SlideRecord &record);

// "00:00:42 - 00:02:10": the first and the last frame of a segment as the
// text report shows them, in whole seconds, truncated.
QString segmentTimes(const Segment &segment, int fps);

// The report on standard output: one line per segment.
void printTimeline(const QList<SlideRecord> &records, int fps);

// The timeline on standard output in the given format, all of it at once:
// Text is printTimeline; the others give every segment in list order with
// start and end at frame / fps and (endFrame + 1) / fps seconds.
void printReport(ReportFormat format, const QList<SlideRecord> &records, int fps,
                 const RunSummary &run);
