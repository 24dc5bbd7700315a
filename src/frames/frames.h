// Frame acquisition: ffmpeg samples the video into numbered PNG files in the
// output directory, which are then found again in name (= time) order and
// decoded one at a time, in order, as the detection asks for them.
#pragma once

#include <QDir>
#include <QImage>
#include <QString>
#include <QStringList>

#include <functional>

// Makes sure outDir exists and has ffmpeg sample the input into
// outDir/frame_NNNNNN.png at fps frames per second. On failure returns false
// and sets *failure to a one-line reason without a newline.
bool extractFrames(const QString &input, const QString &outDir, int fps, QString *failure);

// The frame files in outDir, in name order, joined to outDir.
QStringList listFrames(const QDir &outDir);

// Why a frame could not be decoded.
struct LoadFailure {
    QString path;
    QString error;
};

// Decodes one frame; a null image means failure, described in *failure.
QImage loadFrame(const QString &path, LoadFailure *failure);

// Decodes frame i of paths on demand. Frames must be asked for in increasing
// order. A null image means frame i could not be decoded; *failure then says
// which path and why. *failure must outlive the returned function.
std::function<QImage(int)> loadFrames(const QStringList &paths, LoadFailure *failure);
