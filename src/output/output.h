// Output: messages on standard error, the slide files, and the timeline report.
#pragma once

#include "detect.h"

#include <QDir>
#include <QSet>
#include <QString>
#include <QStringList>

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
