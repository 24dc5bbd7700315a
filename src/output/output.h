// Output: messages on standard error, the slide files, the timeline report
// in the format asked for, and the slides as one PDF.
#pragma once

#include "detect.h"

#include <QDir>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

// Writes one message on standard error through a stream of its own, flushed
// at once, so messages never interleave badly with ffmpeg's output.
void writeMessage(const QString &message);

// "slide_0001.png" for slide number 1; the width of four digits is a minimum.
QString slideFileName(int slideNumber);

// One pass in frame order over the frame files: renames every kept frame to
// the next slide file and deletes every other frame. Returns false after a
// failed rename, which it has reported on standard error; no later frame is
// touched then.
bool exportSlides(const QStringList &paths, const QSet<int> &keepSet, const QDir &outDir);

// The report on standard output: one line per segment.
void printTimeline(const QList<Segment> &segments, int fps, const QDir &outDir);

enum class ReportFormat { Text, Json, Csv, Vtt, FfMetadata };

// The format called "text", "json", "csv", "vtt" or "ffmetadata" (exactly
// so, lower case), or nothing.
std::optional<ReportFormat> reportFormatNamed(const QString &name);

// What the JSON report tells about the run besides the segments.
struct RunSummary {
    QString input;       // as given on the command line
    QJsonObject options; // the options that shaped the timeline
};

// The timeline on standard output in the given format, all of it at once:
// Text is printTimeline; the others give every segment in list order with
// start and end at frame / fps and (endFrame + 1) / fps seconds.
void printReport(ReportFormat format, const QList<Segment> &segments, int fps, const QDir &outDir,
                 const RunSummary &run);

// Writes the slide files outDir/slide_0001.png ... (one per slide segment)
// as the pages of one PDF at path, each page the size of its slide at one
// point per pixel. The file appears only complete: it is written under a
// temporary name beside path and renamed into place. On failure returns
// false, leaves no temporary file and sets *failure to the reason.
bool writeSlidesPdf(const QString &path, const QList<Segment> &segments, const QDir &outDir,
                    const QString &title, QString *failure);
