// Output: messages on standard error, the slide files (kept frame files
// renamed, or kept pictures encoded), the timeline report in the format
// asked for, and the slides as one PDF.
#pragma once

#include "detect.h"

#include <QDir>
#include <QHash>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

// Writes one message on standard error through a stream of its own, flushed
// at once, so messages never interleave badly with ffmpeg's output.
void writeMessage(const QString &message);

// A time in whole seconds as "HH:MM:SS"; hours take as many digits as they
// need.
QString clockTime(qint64 seconds);

// "slide_0001.png" for slide number 1; the width of four digits is a minimum.
QString slideFileName(int slideNumber);

// The image file name of each slide segment, in list order: the slides
// that show their picture first are numbered from 1 in list order and
// named slideFileName of their number; a slide that shows an earlier
// slide's picture again (repeatOf) names that slide's file. Every report
// format and the PDF name slide images through this.
QStringList slideImageNames(const QList<Segment> &segments);

// One pass in frame order over the frame files: renames every kept frame to
// the next slide file and deletes every other frame. Returns false after a
// failed rename, which it has reported on standard error; no later frame is
// touched then.
bool exportSlides(const QStringList &paths, const QSet<int> &keepSet, const QDir &outDir);

// Why a slide could not be written.
struct SlideFailure {
    QString path;
    QString error;
};

// Encodes picture as a PNG file at path, replacing any file there, through a
// temporary file renamed into place: path never names a half-written file,
// and no temporary file is left behind. False, with the reason in *error,
// when the file cannot be written.
bool writeSlide(const QImage &picture, const QString &path, QString *error);

// Renames the temporary file of file into place, but only when everything
// written to it has reached the disk. Otherwise returns false, with the
// reason in *error, and removes the temporary file.
bool commitWhole(QSaveFile &file, QString *error);

// A sink that writes each slide handed to it with writeSlide as the next
// slide file in outDir, numbered from 1, on a thread of its own, a couple of
// slides behind the walk. Once a slide could not be written, *failure says
// which and why, no later slide is written and the sink refuses the next one
// handed to it. Destroying the last copy of the sink waits until every slide
// handed over is written or refused; *failure must outlive it, and is only
// to be read after it.
SlideSink slideWriter(const QDir &outDir, SlideFailure *failure);

// The report on standard output: one line per segment.
void printTimeline(const QList<Segment> &segments, int fps, const QDir &outDir);

enum class ReportFormat { Text, Json, Csv, Vtt, FfMetadata, Markdown };

// The format called "text", "json", "csv", "vtt", "ffmetadata" or
// "markdown" (exactly so, lower case), or nothing.
std::optional<ReportFormat> reportFormatNamed(const QString &name);

// What the reports tell about the run besides the segments.
struct RunSummary {
    QString input;       // as given on the command line
    QJsonObject options; // the options that shaped the timeline
    // The words read on each slide image, by the image's path as the rows
    // name it; only when they were asked for.
    std::optional<QHash<QString, QString>> texts;
};

// A segment as every output shows it. Slides and videos are numbered
// apart, each from 1 in list order.
struct Row {
    bool isVideo = false;
    int number = 0;
    int startFrame = 0;
    int endFrame = 0;
    QString pathOrLabel; // the slide's image file, or the video's label
    int repeatOf = 0;    // a slide showing slide repeatOf's picture again
};

// The rows of the segments, each slide naming its image file in outDir:
// the one place that tells which file shows which slide.
QList<Row> numberedRows(const QList<Segment> &segments, const QDir &outDir);

// The image paths of the slide rows, in order.
QStringList slideImagePaths(const QList<Segment> &segments, const QDir &outDir);

// "00:00:42 - 00:02:10": the first and the last frame of a row as the text
// report shows them, in whole seconds, truncated.
QString rowTimes(const Row &row, int fps);

// The words read on a slide row's image; empty for a video row or when no
// words were read.
QString slideText(const Row &row, const RunSummary &run);

// A path as a URL path: every character but letters, digits, '-', '.',
// '_' and '~' of each '/'-separated part percent-encoded as UTF-8, so that
// spaces, '#', '%', quotes and any letter survive every reader of links.
QString urlPath(const QString &path);

// Notes for the talk in Markdown: a heading, a section per slide with its
// times, its image and its words when they were read, and a line per
// video.
QByteArray markdownNotes(const QList<Row> &rows, int fps, const RunSummary &run);

// One self-contained HTML page at path for reading the talk: the slide
// images in a grid linked relative to the page, the video segments in
// place, the input video that plays from a slide's start when it is
// clicked, and with the slides' words a filter box. Written under a
// temporary name and renamed into place; on failure returns false, leaves
// no temporary file and sets *failure to the reason.
bool writeHtmlPage(const QString &path, const QList<Segment> &segments, int fps, const QDir &outDir,
                   const RunSummary &run, QString *failure);

// The timeline on standard output in the given format, all of it at once:
// Text is printTimeline; the others give every segment in list order with
// start and end at frame / fps and (endFrame + 1) / fps seconds.
void printReport(ReportFormat format, const QList<Segment> &segments, int fps, const QDir &outDir,
                 const RunSummary &run);

// Writes the slide files in outDir (each picture once, in the order
// slideImageNames first names them) as the pages of one PDF at path, each
// page the size of its slide at one point per pixel, with the words of texts
// (by image path, as RunSummary::texts) hidden under each picture for search
// and copy. The file appears only complete: it is written under a temporary
// name beside path and renamed into place. On failure returns false, leaves
// no temporary file and sets *failure to the reason.
bool writeSlidesPdf(const QString &path, const QList<Segment> &segments, const QDir &outDir,
                    const QString &title, const QHash<QString, QString> &texts, QString *failure);
// How each row of a PNG file is predicted from its neighbours before it is
// compressed.
enum class PngFilter { Sub, Up, Paeth };

// picture, which must be Format_RGB888, as a PNG file: 8-bit RGB, compressed
// at zlib level `level` (0 to 9) with every row filtered by filter. Empty
// when zlib cannot start.
QByteArray pngOf(const QImage &picture, int level, PngFilter filter);
