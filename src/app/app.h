// The command line: the options, their defaults and their validation.
#pragma once

#include "detect.h"
#include "output.h"

#include <QCommandLineParser>
#include <QString>

#include <optional>

struct RunOptions {
    QString input;
    QString outDir;
    int fps = 1;
    double threshold = 0.99;
    int videoChanges = 5;
    int videoWindow = 15;
    ReportFormat format = ReportFormat::Text;
    QString pdfPath; // empty: no PDF
    Detector detector = Detector::Pixel;
};

// Declares the options and parses the arguments. Ends the process for --help
// (status 0), for arguments the parser cannot take (status 1) and, after the
// usage line, for a missing or empty --input (status 1).
void parseCommandLine(QCommandLineParser &parser, const QStringList &arguments);

// Reads and checks the options in the order fps, threshold, video-changes,
// video-window, format, detector. The first bad one is reported on standard
// error and yields no options.
std::optional<RunOptions> validateOptions(const QCommandLineParser &parser);

// The options that steer the detection.
DetectOptions detectOptions(const RunOptions &options);

// The input and the options that shaped the timeline, as the JSON report
// tells them.
RunSummary runSummary(const RunOptions &options);

// Keeps Qt's own diagnostics (libpng complaining about a damaged frame, for
// one) off standard error, which carries only this tool's messages and
// ffmpeg's output; the reason a frame failed reaches the user in the tool's
// own message.
void silenceQtDiagnostics();

// The frames of frameAt, counted on one self-updating line on standard error
// while the walk asks for them, when standard error is a terminal; the line
// is erased once the last frame, or one that cannot be decoded, has been
// handed out. Anywhere else frameAt comes back as it is and nothing is
// written, so redirected output holds only the messages.
FrameSource withProgress(FrameSource frameAt, int frameCount);

// From here on a closed standard output or a vanished reader of a pipe makes
// writes fail instead of killing the process. Called after ffmpeg has run, so
// that ffmpeg itself starts with the default handling.
void ignoreBrokenPipe();
