// Reading aids: the talk as Markdown notes, as one HTML page and as one PDF
// of its slides, read from the record of every segment.
#pragma once

#include "core.h"
#include "report.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// What the caller of a long write can ask for while it goes: a stop, after
// which the write gives up, leaving no file; and word of each part written.
struct WriteControl {
    std::function<bool()> stop;
    std::function<void(int written)> progress;
};

// A path as a URL path: every character but letters, digits, '-', '.',
// '_' and '~' of each '/'-separated part percent-encoded as UTF-8, so that
// spaces, '#', '%', quotes and any letter survive every reader of links.
QString urlPath(const QString &path);

// "page 5" after separator for a slide matched to page 5 of a deck, else
// nothing.
QString pageNote(const SlideRecord &row, const QString &separator);

// Notes for the talk in Markdown: a heading, a section per slide with its
// times, its image and its words when they were read, and a line per
// video.
QByteArray markdownNotes(const QList<SlideRecord> &records, int fps, const RunSummary &run);

// One self-contained HTML page at path for reading the talk: the slide
// images in a grid linked relative to the page, the video segments in
// place, the input video that plays from a slide's start when it is
// clicked, and with the slides' words a filter box. Written under a
// temporary name and renamed into place; on failure returns false, leaves
// no temporary file and sets *failure to the reason.
// A stop asked for before the page is in place leaves none.
bool writeHtmlPage(const QString &path, const QList<SlideRecord> &records, int fps,
                   const RunSummary &run, const std::function<bool()> &stop, QString *failure);

// Writes the slide files the records name (each picture once, in the order
// of its first showing) as the pages of one PDF at path, each page the size
// of its slide at one point per pixel, with the words read on each slide
// hidden under its picture for search and copy. The file appears only
// complete: it is written under a temporary name beside path and renamed
// into place. On failure returns false, leaves no temporary file and sets
// *failure to the reason, or with *failure empty after control.stop, which
// it asks between pages.
bool writeSlidesPdf(const QString &path, const QList<SlideRecord> &records, const QString &title,
                    const WriteControl &control, QString *failure);
