// Slide files: the kept frame files renamed to slide files, or the kept
// pictures encoded as PNG files, each named where the decision is made and
// written so that no half-written file is ever seen.
#pragma once

#include "core.h"

#include <QDir>
#include <QSaveFile>
#include <QString>
#include <QStringList>

// "slide_0001.png" for slide number 1; the width of four digits is a minimum.
QString slideFileName(int slideNumber);

// A kept frame file that could not be renamed to its slide file.
struct RenameFailure {
    QString from;
    QString to;
};

// One pass in frame order over the frame files: renames the kept frame of
// every slide record to the next slide file, which the record then names,
// and deletes every other frame. Returns false after a failed rename, with
// *failure naming the frame and the slide file; no later frame is touched
// then.
bool exportSlides(const QStringList &paths, const QDir &outDir, QList<SlideRecord> *slides,
                  RenameFailure *failure);

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

// A stage that writes each slide handed to it with writeSlide as the next
// slide file in outDir, numbered from 1, on a thread of its own, a couple of
// slides behind the walk, and names that file in the slide's record. Once a
// slide could not be written, *failure says which and why, no later slide
// is written and the stage refuses the next one handed to it. Destroying
// the last copy of the stage waits until every slide handed over is written
// or refused; *failure must outlive it, and is only to be read after it.
RecordSink slideWriter(const QDir &outDir, SlideFailure *failure);

// How each row of a PNG file is predicted from its neighbours before it is
// compressed.
enum class PngFilter { Sub, Up, Paeth };

// picture, which must be Format_RGB888, as a PNG file: 8-bit RGB, compressed
// at zlib level `level` (0 to 9) with every row filtered by filter. Empty
// when zlib cannot start.
QByteArray pngOf(const QImage &picture, int level, PngFilter filter);
