// Frame acquisition: ffmpeg samples the video into numbered PNG files in the
// output directory, which are then found again in name (= time) order and
// decoded, a few frames ahead of the detection, as it asks for them in order.
// Or ffmpeg sends the sampled frames down a pipe, read a few frames ahead.
#pragma once

#include "core.h"

#include <QDir>
#include <QIODeviceBase>
#include <QImage>
#include <QString>
#include <QStringList>

class QProcess;

#include <functional>
#include <optional>

// Makes sure outDir exists, with its parents. On failure returns false and
// sets *failure to a one-line reason without a newline.
bool makeOutputDirectory(const QString &outDir, QString *failure);

// An exclusive lock on a directory, held from lockDirectory until the
// object goes (or the process ends, however it ends). Nothing is written
// into the directory for it.
struct DirectoryLock {
    DirectoryLock() = default;
    DirectoryLock(DirectoryLock &&other) noexcept;
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;
    ~DirectoryLock();
    int fd = -1;
};

enum class LockResult { Locked, Busy, NotLockable };

// Takes the lock on dir without waiting: Busy when another process holds
// it, NotLockable when dir cannot be opened to lock it (*lock is then left
// as it is).
LockResult lockDirectory(const QString &dir, DirectoryLock *lock);

// Whether name is one ffmpeg gives a frame file: "frame_" and a sequence
// number of at least six digits, zero-padded, then ".png".
bool isFrameFileName(const QString &name);

// Whether outDir holds a file named like a frame file.
bool holdsFrameFiles(const QDir &outDir);

// Removes every file in outDir named like a frame file; nothing else.
void removeFrameFiles(const QDir &outDir);

// Starts child as QProcess::start(mode) does, so that it never outlives this
// process: it is killed when this process ends, however that happens, and by
// stopChildrenNow. childSetup, when given, runs in the child before its
// program does, and must only make async-signal-safe calls.
void startChild(QProcess &child, void (*childSetup)() = nullptr,
                QIODeviceBase::OpenMode mode = QIODeviceBase::ReadWrite);

// Kills every child started by startChild that still runs, and any started
// from now on. Async-signal-safe: for a signal handler.
void stopChildrenNow();

// How a finished ffmpeg ended, as a one-line reason without a newline;
// empty when it ended well.
QString ffmpegExitFailure(const QProcess &ffmpeg);

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

// Decodes frame i of paths on demand; past the last path there is no frame
// (no value). Frames must be asked for in increasing order, from one thread; worker threads decode
// a bounded number of frames ahead of the one asked for, into the buffers of frames the caller no
// longer holds. A null image means frame i could not be decoded; *failure then says which path and
// why, and later frames play no part. *failure must outlive the returned function. Destroying the
// last copy of the function waits for the frames being decoded and skips the rest.
FrameSource loadFrames(const QStringList &paths, LoadFailure *failure);

// Why the frames from the pipe ended early: exactly one of the two is set.
struct PipeFailure {
    QString ffmpegFailure; // extractFrames' texts: ffmpeg could not run, or failed
    QString outputFailure; // what ffmpeg sent is not a whole PPM picture stream
};

// Has ffmpeg sample input at fps frames per second, as extractFrames does,
// but send the frames down a pipe instead of writing files, and returns once
// ffmpeg has started (or could not be started). The function returned hands
// out frame i for i = 0, 1, 2 ..., asked for in that order from one thread,
// with the pixels its PNG frame file would decode to (as readPpmFrame gives
// them: RGB888, or RGBX64 for 16-bit video); a thread of its own reads a few
// frames ahead. Past the last frame it gives nothing, once ffmpeg has ended
// well; a null image when ffmpeg failed or sent what cannot be read, with
// *failure saying why. *failure must outlive the function. Destroying the
// last copy of the function stops ffmpeg if it still runs.
FrameSource pipeFrames(const QString &input, int fps, PipeFailure *failure);

// Reads up to size bytes into data and returns how many it read: at least
// 1, or 0 at the end of the stream, or -1 when the reader is to stop.
using ByteSource = std::function<qint64(char *data, qint64 size)>;

// A stream of PPM pictures as ffmpeg's image2pipe sends them, read from a
// byte source through a small buffer of its own.
struct PpmStream {
    ByteSource source;
    QByteArray buffer{}; // bytes read ahead of the parser
    qsizetype position = 0;
    QByteArray row{}; // one row of 16-bit samples on its way into a frame
};

// What became of reading one picture of a PPM stream.
struct PpmRead {
    // Frame: one whole picture. End: the stream ended before a new picture.
    // Cut: it ended inside one. Unreadable: why says what is wrong with it.
    // Stopped: the source said stop.
    enum Outcome { Frame, End, Cut, Unreadable, Stopped } outcome = Frame;
    QString why;
};

// A frame of the given size and format to read pixels into (a reused buffer
// or a new one); null when there is no memory for it.
using FrameAllocator = std::function<QImage(int width, int height, QImage::Format format)>;

// Reads the next picture of stream into *image: Format_RGB888 for 8-bit
// samples, Format_RGBX64 for 16-bit ones, which decode as the PNG files
// ffmpeg would have written. frameNumber (from 1) names it in the reasons.
// Only 8- and 16-bit binary RGB pictures up to 16384 pixels each way are
// taken; their size is checked before allocate is asked for the frame.
PpmRead readPpmFrame(PpmStream &stream, int frameNumber, const FrameAllocator &allocate,
                     QImage *image);

// The length of the input video in seconds, as ffprobe finds it; nothing when
// it cannot say.
std::optional<double> videoDuration(const QString &input);
