// The command line: the options, their defaults and their validation; the
// two ways of a run from the video to the timeline; the progress line.
#pragma once

#include "deck.h"
#include "decode.h"
#include "detect.h"
#include "frames.h"
#include "image.h"
#include "ocr.h"
#include "output.h"
#include "speech.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>

#include <map>
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
    bool skim = false; // frames decoded in the process, only where the picture can change
    Detector detector = Detector::Pixel;
    CropRequest crop;        // none unless --crop is given
    bool dedupe = false;     // a picture shown again reuses its first file
    QString htmlPath;        // empty: no HTML page
    QString ocrLanguages;    // empty: the slides' words are not read
    QString deckPath;        // empty: no deck to match the slides to
    bool deckImages = false; // matched slides' files show the deck's pages
    QString subtitles;       // empty: no words spoken; "auto": the video's own or beside it
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

// Keeps Qt's own diagnostics (libpng complaining about a damaged frame, for
// one) off standard error, which carries only this tool's messages and
// ffmpeg's output; the reason a frame failed reaches the user in the tool's
// own message.
void silenceQtDiagnostics();

// Keeps the memory the run frees for its next pictures rather than giving it
// back to the system at once: pictures of a few megabytes come and go with
// every frame and slide, and memory fresh from the system costs a page fault
// every 4 KB (a third of the run's own CPU time on a filmed talk with
// --crop auto). The peak stays what the run needs at once.
void keepFreedMemory();

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

// From now on SIGINT, SIGTERM and SIGHUP (unless ignored when the run
// started) stop the run's children at once and are noted, for the run to
// end itself cleanly: see interruptSignal.
void catchInterrupts();

// The first signal that interrupted the run, or 0.
int interruptSignal();

// The frames of frameAt until the run is interrupted; then a frame that
// cannot be had, which stops the walk.
FrameSource stopOnInterrupt(FrameSource frameAt);

// Ends an interrupted run: removes the frame files in outDir (none when it
// is empty: the run had not claimed a folder yet), says "interrupted" and
// returns the exit status, 128 + the signal's number.
int endInterrupted(const QString &outDir);

// Makes sure outDir exists, takes this run's lock on it and removes the frame
// files an earlier run left behind; without a lock to take (a folder that
// cannot be opened for reading) it goes on only while no frame file lies
// there, which might be another run's. False after a failure, which it has
// reported: another run holds the directory, it cannot be locked and holds
// frame files, or it cannot be created.
// Whether the PDF and the page asked for can be written where they are to
// go; false after saying why, as a failure to write them would.
bool outputFilesWritable(const RunOptions &options);

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
    std::shared_ptr<SlideCutter> cutter;    // set for --crop auto
    std::shared_ptr<SettledFrames> settled; // set when slides are cleaned or cut
    bool cleans = false;                    // each slide's picture is made from its frames
};

// The frames of frames as the walk is to see them: cut to a fixed --crop
// rectangle, and held for the clean pictures of the robust walk and for
// --crop auto, which finds the slide in each slide's own frames. *imaging
// must outlive the source.
FrameSource imagingFrames(FrameSource frames, const RunOptions &options, SlideImaging *imaging);

// The slide stages before writer: each slide's picture cut to the slide
// (with --crop auto; saying once when a slide's picture is handed on whole
// for want of a region) and cleaned (with the robust walk), and only
// pictures not shown before handed on (with
// --dedupe). Made after imagingFrames with the same imaging.
RecordSink imagingStages(RecordSink writer, const RunOptions &options, const SlideImaging &imaging);

// Why a run failed: the stage, the file it concerns and the reason, which
// errorMessage turns into the run's one message.
struct RunError {
    enum Stage {
        Extract,      // ffmpeg could not run or failed
        NoFrames,     // the video gave no frame
        LoadFrame,    // a frame file could not be decoded
        FfmpegOutput, // what ffmpeg sent down the pipe is no picture stream
        Crop,         // a crop rectangle the picture does not hold
        WriteSlide,   // a slide file could not be written
        RenameFrame,  // a kept frame could not become its slide file (reason: the target)
        ReadWords,    // the slides' words could not be read
        WriteFile,    // the PDF or the page could not be written
        Decode,       // the video could not be read or decoded in the process (path: the video)
    } stage;
    QString path;
    QString reason;
};

// The message on standard error that tells error.
QString errorMessage(const RunError &error);

// The talk as the run finds it.
struct Talk {
    Timeline timeline;
    QList<SlideRecord> records; // every segment, in time order
    // With a deck: the look of each slide handed to the slide stages, by
    // its number, until the slides are matched to pages.
    std::map<int, PictureLook> looks;
};

// Where a run's frames come from: the source, and why its frames ended
// early when one could not be had (asked only once the source is gone).
struct FrameFeed {
    FrameSource frames;
    std::function<RunError()> failure;
    // Frame files whose kept ones become the slide files as they are, when
    // no slide-image option asks for pictures of their own.
    bool framesAreFiles = false;
};

// The run from frames to the talk's records: the walk over feed's frames
// as the slide-image options want them, and each slide through the slide
// stages (cut out, cleaned, kept once, written) as the walk closes it.
// Nothing on failure, when the talk is incomplete; the failure of a run
// that was interrupted is no failure of its own and need not be told.
std::optional<RunError> walkTalk(FrameFeed feed, const RunOptions &options, Talk *talk);

// A count of done out of total, shown as "what 3/40 (7%)" on one
// self-updating line on standard error when it is a terminal, and erased
// once done reaches total or the last copy goes; nothing anywhere else.
// Callable from several threads.
std::function<void(int done)> countingProgress(const QString &what, int total);

// The run through frame files: ffmpeg writes them all, the walk decodes and
// compares them; the kept ones are renamed to slide files, or the slides
// are written as pictures of their own, and every other frame file goes.
std::optional<RunError> talkFromFrameFiles(const RunOptions &options, Talk *talk);

// The run through a pipe: the walk compares the frames as ffmpeg sends them
// and each slide is written as it closes; no frame file is made. The slides
// written before a failure stay.
std::optional<RunError> talkThroughPipe(const RunOptions &options, Talk *talk);

// The run with the frames decoded in the process: as through a pipe, but
// with FFmpeg's libraries instead of the ffmpeg program, and only where the
// picture can have changed (STILLSIFT_SKIM=whole decodes without skimming,
// for measuring; STILLSIFT_SKIM_COUNTS set says on standard error how many
// frames were decoded).
std::optional<RunError> talkDecoded(const RunOptions &options, Talk *talk);

// A reader of the slides' words when --ocr asks for them, else none; none
// either with a deck, whose slides are read by readSlidesWithoutPage.
std::shared_ptr<SlideReader> startReading(const RunOptions &options);

// A stage that hands each slide's picture to reader (when there is one)
// and then to next (when there is one).
RecordSink readingSlides(RecordSink next, std::shared_ptr<SlideReader> reader);

// Waits for reader to read the last slides handed to it and puts each
// slide's words into its record; a repeat takes those of the slide it
// repeats. Nothing without a reader.
std::optional<RunError> wordsRead(std::shared_ptr<SlideReader> reader, QList<SlideRecord> *records);

// With --ocr and a deck: the words of each slide that shows no page, read
// from its file after the pages are matched (a repeat takes those of the
// slide it repeats). Nothing otherwise.
std::optional<RunError> readSlidesWithoutPage(const RunOptions &options,
                                              QList<SlideRecord> *records);

// Writes the PDF and the HTML page when they were asked for.
std::optional<RunError> writeReadingAids(const RunOptions &options, Talk *talk, RunSummary *run);

// The cues of the subtitles --subtitles names, or finds for "auto", into
// *cues; none without the option. False after saying why they cannot be
// read (or, interrupted, says nothing); "auto" that finds none says so and
// goes on without.
bool loadSubtitlesAsked(const RunOptions &options, QList<Cue> *cues);

// The words spoken while each segment showed into its record, each word
// once.
void attachSpeech(const QList<Cue> &cues, int fps, QList<SlideRecord> *records);

// Loads the deck that --deck names into *deck, if any. False after saying
// why it cannot be read.
bool loadDeckAsked(const RunOptions &options, Deck *deck);

// A stage that keeps the look of each slide's picture in *looks, by slide
// number, when a deck is to be matched, and hands the slide on to next
// (when there is one).
RecordSink describingSlides(RecordSink next, const RunOptions &options,
                            std::map<int, PictureLook> *looks);

// With a deck: the page each slide shows into its record (a matched
// slide's words, with --ocr, are the page's own), the pages' titles into
// *run, and with --deck-images the pages into the slide files. Says once
// when no slide matches any page. Nothing without a deck.
std::optional<RunError> matchTalkToDeck(const RunOptions &options, const Deck &deck, Talk *talk,
                                        RunSummary *run);
