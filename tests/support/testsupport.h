// What the tests share: running the built binary with fake ffmpeg scripts
// first on PATH, writing frame files, and reading back what a run left.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct RunResult {
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

// Runs program in workDir with the given environment, standard input closed
// at once. Fails the current test if it does not end in 60 s.
RunResult runProgram(const QString &program, const QStringList &arguments, const QString &workDir,
                     const QProcessEnvironment &environment);

// Runs the stillsift binary in workDir with the given environment, standard
// input closed at once. Fails the current test if it does not end in 60 s.
RunResult runStillsift(const QStringList &arguments, const QString &workDir,
                       const QProcessEnvironment &environment);

// Permission bits deny root nothing. When the tests run as root, this runs
// the binary as an unprivileged user (through setpriv) after handing that
// user workDir and everything in it; otherwise it is runStillsift.
RunResult runStillsiftUnprivileged(const QStringList &arguments, const QString &workDir,
                                   const QProcessEnvironment &environment);

// Runs the binary in workDir through /bin/sh as `"$0" ARGUMENTS`, its
// streams redirected as redirect says (closed, say, or into a pipe that
// nobody reads), and returns the status the shell saw, as "N\n". Fails the
// current test if the run does not end in 60 s.
QByteArray runStillsiftRedirected(const QString &arguments, const QString &redirect,
                                  const QString &workDir, const QProcessEnvironment &environment);

// Whether runStillsiftUnprivileged runs as a user whom permission bits
// deny: not root already, or root able to switch users.
bool canRunUnprivileged();

// An environment whose PATH starts with binDir, so a fake ffmpeg there wins.
QProcessEnvironment environmentWithPath(const QString &binDir);

// Writes an executable /bin/sh script binDir/ffmpeg with the given body.
void writeFakeFfmpeg(const QString &binDir, const QByteArray &body);

// A fake ffmpeg body that records its arguments, NUL-terminated, in argvFile.
QByteArray recordArgumentsBody(const QString &argvFile);

// The arguments recorded by recordArgumentsBody, or empty if it never ran.
QStringList recordedArguments(const QString &argvFile);

// A fake ffmpeg body that writes the PNG files of sourceDir, in name order,
// as frames 1, 2, 3 ... through the frame pattern it is given, then exits 0.
QByteArray copyFramesBody(const QString &sourceDir);

// For tests that lay out frame files in outDir themselves: moves them aside
// and writes a fake ffmpeg into binDir that moves them back, as if it had
// written them. A run removes the frame files it finds before ffmpeg starts,
// as an interrupted run's leftovers.
void fakeFfmpegWritingFramesIn(const QString &outDir, const QString &binDir);

// "frame_000001.png" for number 1: the names ffmpeg writes through the pattern.
QString frameName(int number);

// Writes frames 1, 2, 3 ... as sourceDir/NNNNNN.png, one per image, ready
// for copyFramesBody.
void writeSourceFrames(const QString &sourceDir, const QList<QImage> &frames);

// Writes content to path, replacing it; fails the current test if it cannot.
void writeFile(const QString &path, const QByteArray &content);

// The content of path, or empty if it cannot be read.
QByteArray readFile(const QString &path);

// A binary PPM picture of an RGB image, as ffmpeg's ppm encoder sends it
// down a pipe: what a fake ffmpeg writes for --pipe.
QByteArray ppmOf(const QImage &image);

// A solid-colour RGB image, the kind ffmpeg's PNG frames decode to.
QImage solidImage(int width, int height, QRgb colour);

// Saves image as PNG at path; fails the current test if it cannot.
void writePng(const QString &path, const QImage &image);

// The names of the entries of dir (files and directories), sorted.
QStringList entriesOf(const QString &dir);

// Lines of text, each ended by "\n", joined: the exact expected output.
QByteArray lines(const QStringList &lines);

// The mean absolute difference of two pictures' samples (every byte of
// every pixel), in levels; 255 when their sizes or formats differ.
double meanSampleDifference(const QImage &a, const QImage &b);
