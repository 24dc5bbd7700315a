// The command line: the options, their defaults and their validation; the
// two ways of a run from the video to the timeline; the progress line.
#pragma once

#include "detect.h"
#include "frames.h"
#include "image.h"
#include "output.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>

#include <memory>
#include <optional>

struct RunOptions {
    QString input;
    QString outDir;
    int fps = 1;
    double threshold = 0.99;
    int videoChanges = 5;
    int videoWindow = 15;
    ReportFormat format = ReportFormat::Text;
    QString pdfPath;   // empty: no PDF
    bool pipe = false; // frames through a pipe instead of frame files
    Detector detector = Detector::Pixel;
    CropRequest crop;    // none unless --crop is given
    bool dedupe = false; // a picture shown again reuses its first file
    QString htmlPath;     // empty: no HTML page
    QString ocrLanguages; // empty: the slides' words are not read
};

// Declares the options and the help option, without parsing anything.
void declareOptions(QCommandLineParser &parser);

// Declares the options and parses the arguments. Ends the process for --help
// (status 0), for arguments the parser cannot take (status 1) and, after the
// usage line, for a missing or empty --input (status 1).
void parseCommandLine(QCommandLineParser &parser, const QStringList &arguments);

// Reads and checks the options in the order fps, threshold, video-changes,
// video-window, format, detector, crop. The first bad one is reported on standard
// error and yields no options.
std::optional<RunOptions> validateOptions(const QCommandLineParser &parser);

// The options that steer the detection.
DetectOptions detectOptions(const RunOptions &options);

// The input and the options that shaped the timeline, as the JSON report
// tells them.
RunSummary runSummary(const RunOptions &options);

// The application object: a GUI one, on the offscreen platform, only when
// the run needs fonts (the words of the slides set in the PDF), so that no
// other run needs a display or a platform plugin.
std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv);

// Reads the words of every slide into run->texts when --ocr asked for them,
// and writes the PDF and the HTML page when they were asked for. False
// after a failure, which it has reported.
bool writeReadingAids(const RunOptions &options, const QList<Segment> &segments, RunSummary *run);

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

// The frames of frameAt, read from ffmpeg's pipe, shown on one
// self-updating line on standard error as the time in the video they have
// reached, with the percentage of the whole when ffprobe can tell the
// video's length; only when standard error is a terminal. The line is erased
// once the frames end or fail, and at the latest when the last copy of the
// returned function goes.
FrameSource withVideoTimeProgress(FrameSource frameAt, const QString &input, int fps);

// The run up to the timeline, through frame files: ffmpeg writes them all,
// the walk decodes and compares them, the kept ones are renamed to slide
// files and the others deleted. False after a failure, which it has reported.
bool slidesFromFrameFiles(const RunOptions &options, Timeline *timeline);

// The run up to the timeline, through a pipe: the walk compares the frames as
// ffmpeg sends them and each slide is written as it closes; no frame file is
// made. False after a failure, which it has reported; the slides written
// before it stay.
bool slidesThroughPipe(const RunOptions &options, Timeline *timeline);

// From now on SIGINT, SIGTERM and SIGHUP (unless ignored when the run
// started) stop the run's children at once and are noted, for the run to
// end itself cleanly: see interruptSignal.
void catchInterrupts();

// The first signal that interrupted the run, or 0.
int interruptSignal();

// The frames of frameAt until the run is interrupted; then a frame that
// cannot be had, which stops the walk.
FrameSource stopOnInterrupt(FrameSource frameAt);

// Ends an interrupted run: removes the frame files in outDir, says
// "interrupted" and returns the exit status, 128 + the signal's number.
int endInterrupted(const QString &outDir);

// Makes sure outDir exists, takes this run's lock on it and removes the frame
// files an earlier run left behind. False after a failure, which it has
// reported: another run holds the directory, or it cannot be created.
bool claimOutputDirectory(const QString &outDir, DirectoryLock *lock);

// From here on a closed standard output or a vanished reader of a pipe makes
// writes fail instead of killing the process. Called after ffmpeg has run, so
// that ffmpeg itself starts with the default handling.
void ignoreBrokenPipe();

// Whether the run writes each slide as a picture of its own making (cut
// out, cleaned, kept once) instead of renaming the frame it kept.
bool encodesSlides(const RunOptions &options);

// What the slide-image options keep while a walk runs.
struct SlideImaging {
    CropReport crop;
    std::shared_ptr<SettledFrames> settled; // set when slides are cleaned
    QList<int> repeatOf;                    // per slide, with --dedupe
};

// The frames of frames as the walk is to see them: cut to --crop, and with
// the robust walk also held for the clean pictures. *imaging must outlive
// the source.
FrameSource imagingFrames(FrameSource frames, const RunOptions &options, SlideImaging *imaging);

// A sink that cleans each slide's picture (with the robust walk), hands on
// only pictures not shown before (with --dedupe) and writes them with
// writer. Made after imagingFrames with the same *imaging, which must
// outlive it.
SlideSink imagingSink(SlideSink writer, const RunOptions &options, SlideImaging *imaging);

// Reports why a walk over imaging frames stopped, when a crop rectangle the
// picture does not hold stopped it: true then.
bool reportCropFailure(const SlideImaging &imaging);

// Marks the slides of timeline that show an earlier slide's picture again.
void markRepeats(Timeline *timeline, const SlideImaging &imaging);
