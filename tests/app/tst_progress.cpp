// The progress line through the built binary: on a terminal it appears while
// frames are compared and leaves nothing behind; anywhere else standard
// error holds the messages and not one byte more.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

namespace
{

struct TerminalRun {
    int exitCode = -1;
    QByteArray written; // every byte written on the terminal, in order
};

std::vector<char *> nullTerminated(std::vector<QByteArray> &texts)
{
    std::vector<char *> pointers;
    for (QByteArray &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Reads the terminal until every writer has closed it; false on time-out.
bool readTerminal(int master, QByteArray *written)
{
    QElapsedTimer clock;
    clock.start();
    char buffer[4096];
    while (clock.elapsed() < 60000) {
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 1000) <= 0)
            continue;
        const ssize_t count = read(master, buffer, sizeof buffer);
        if (count <= 0) // Linux says EIO once the last slave descriptor is gone
            return true;
        written->append(buffer, count);
    }
    return false;
}

// Runs the binary with standard output and standard error on one raw
// pseudo-terminal, as a user at a terminal would, and standard input on
// /dev/null. Everything after fork() is async-signal-safe.
TerminalRun runOnTerminal(const QStringList &arguments, const QString &workDir,
                          const QProcessEnvironment &environment)
{
    std::vector<QByteArray> argvTexts{QByteArray(STILLSIFT_BINARY_PATH)};
    for (const QString &argument : arguments)
        argvTexts.push_back(argument.toLocal8Bit());
    std::vector<QByteArray> envTexts;
    for (const QString &entry : environment.toStringList())
        envTexts.push_back(entry.toLocal8Bit());
    const std::vector<char *> argv = nullTerminated(argvTexts);
    const std::vector<char *> envp = nullTerminated(envTexts);
    const QByteArray dir = QFile::encodeName(workDir);

    TerminalRun run;
    termios raw{};
    cfmakeraw(&raw); // bytes arrive as written: no "\n" to "\r\n"
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        QTest::qFail("openpty failed", __FILE__, __LINE__);
        return run;
    }
    const int devNull = open("/dev/null", O_RDONLY);
    const pid_t child = fork();
    if (child == 0) {
        dup2(devNull, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        dup2(slave, STDERR_FILENO);
        if (chdir(dir.constData()) == 0)
            execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(devNull);
    close(slave);
    const bool finished = readTerminal(master, &run.written);
    if (!finished)
        kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(master);
    if (!finished)
        QTest::qFail("stillsift did not finish within 60 s", __FILE__, __LINE__);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// What the terminal shows once the bytes are written: a carriage return
// sends the cursor to the start of the line, other characters overwrite.
// Blanks at the end of a line show as nothing, and so does the empty line
// the cursor rests on at the end.
QStringList screenLines(const QByteArray &written)
{
    QStringList screen{QString()};
    qsizetype column = 0;
    for (const QChar c : QString::fromUtf8(written)) {
        QString &line = screen.last();
        if (c == QLatin1Char('\r')) {
            column = 0;
        } else if (c == QLatin1Char('\n')) {
            screen.append(QString());
            column = 0;
        } else {
            line = line.leftJustified(column + 1);
            line[column++] = c;
        }
    }
    for (QString &line : screen) {
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
    }
    if (screen.last().isEmpty())
        screen.removeLast();
    return screen;
}

// The run's own output comes last, exactly as without a terminal, and what
// came before it leaves a blank screen with the cursor at the start of the
// line, where a marker written next lands.
void verifyLineGoneBefore(const QByteArray &written, const QByteArray &output)
{
    QVERIFY2(written.endsWith(output), written.constData());
    const QByteArray before = written.chopped(output.size());
    QCOMPARE(screenLines(before + '|'), QStringList{QStringLiteral("|")});
}

struct ProgressShown {
    int lines = 0;
    QString failure; // empty when every line was well formed and counted up
};

// Every "Comparing frames K/N (P%)" in the stream: K rises, N is the frame
// count, P is K out of N, truncated.
ProgressShown progressShown(const QByteArray &written, int frameCount)
{
    static const QRegularExpression pattern(
        QStringLiteral("Comparing frames (\\d+)/(\\d+) \\((\\d+)%\\)"));
    ProgressShown shown;
    int last = 0;
    auto it = pattern.globalMatch(QString::fromUtf8(written));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const int done = match.captured(1).toInt();
        const int total = match.captured(2).toInt();
        const int percent = match.captured(3).toInt();
        if (total != frameCount || done <= last || done > total || percent != done * 100 / total)
            shown.failure = match.captured(0);
        last = done;
        ++shown.lines;
    }
    return shown;
}

// Every "Comparing frames at T[ of D (P%)]" in the stream: T never goes
// back, D is the given duration and P is T out of D, truncated, exactly
// when a duration is given.
ProgressShown videoTimeShown(const QByteArray &written, int duration)
{
    static const QRegularExpression pattern(
        QStringLiteral("Comparing frames at 00:00:(\\d\\d)(?: of 00:00:(\\d\\d) \\((\\d+)%\\))?"));
    ProgressShown shown;
    int last = 0;
    auto it = pattern.globalMatch(QString::fromUtf8(written));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const int seconds = match.captured(1).toInt();
        const bool hasDuration = match.hasCaptured(2);
        if (seconds < last || hasDuration != (duration > 0) ||
            (hasDuration && (match.captured(2).toInt() != duration ||
                             match.captured(3).toInt() != seconds * 100 / duration)))
            shown.failure = match.captured(0);
        last = seconds;
        ++shown.lines;
    }
    return shown;
}

} // namespace

class Progress : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void notATerminal_data() { addRuns(); }
    void notATerminal();
    void onATerminal_data() { addRuns(); }
    void onATerminal();
    void redrawsAreThrottled();
    void videoTimeThroughThePipe_data();
    void videoTimeThroughThePipe();

  private:
    void addRuns();
    QString path(const QString &name) const { return m_dir.filePath(name); }
    // Frames for the fake ffmpeg to hand out: one PNG per colour, in order;
    // a colour of 0 stands for a file that cannot be decoded.
    void prepareFrames(const QList<QRgb> &colours);
    QString sourceFrame(int frameNumber) const
    {
        return path(
            QStringLiteral("source/frame_%1.png").arg(frameNumber, 6, 10, QLatin1Char('0')));
    }
    QByteArray readerError(int frameNumber) const;
    QByteArray prepareRow();

    QTemporaryDir m_dir;
    QString m_bin;
};

void Progress::init()
{
    QVERIFY(m_dir.isValid());
    m_bin = path(QStringLiteral("bin"));
    QVERIFY(QDir(path(QStringLiteral("slides"))).removeRecursively());
    writeFakeFfmpeg(m_bin, copyFramesBody(path(QStringLiteral("source"))));
}

void Progress::prepareFrames(const QList<QRgb> &colours)
{
    QDir(path(QStringLiteral("source"))).removeRecursively();
    QDir().mkpath(path(QStringLiteral("source")));
    for (qsizetype i = 0; i < colours.size(); ++i) {
        const QString name = sourceFrame(int(i) + 1);
        if (colours.at(i) != 0) {
            writePng(name, solidImage(16, 12, colours.at(i)));
            continue;
        }
        QFile broken(name);
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("not an image");
    }
}

// The image reader's own words for the broken frame, as the tool reports them.
QByteArray Progress::readerError(int frameNumber) const
{
    QImageReader reader(sourceFrame(frameNumber), QByteArray());
    reader.read();
    return reader.errorString().toUtf8();
}

void Progress::addRuns()
{
    QTest::addColumn<QList<QRgb>>("colours");
    QTest::addColumn<bool>("blockFirstSlide");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err"); // %1: the reader's error text for the broken frame
    QTest::addColumn<bool>("showsProgress");

    const QRgb red = qRgb(200, 0, 0), blue = qRgb(0, 0, 200);
    QTest::newRow("success: the report alone")
        << QList<QRgb>{red, red, blue, blue, blue} << false << 0
        << lines({QStringLiteral("00:00:00 - 00:00:01\tslides/slide_0001.png"),
                  QStringLiteral("00:00:02 - 00:00:04\tslides/slide_0002.png")})
        << QByteArray() << true;
    QTest::newRow("load failure: the message alone")
        << QList<QRgb>{red, red, blue, 0, blue, blue} << false << 1 << QByteArray()
        << QByteArray("load slides/frame_000004.png: %1\n") << true;
    QTest::newRow("broken first frame: nothing was counted")
        << QList<QRgb>{0, red, red} << false << 1 << QByteArray()
        << QByteArray("load slides/frame_000001.png: %1\n") << false;
    QTest::newRow("rename failure after the walk: the message alone")
        << QList<QRgb>{red, blue, blue} << true << 1 << QByteArray()
        << QByteArray("failed to rename slides/frame_000001.png to slides/slide_0001.png\n")
        << true;
    QTest::newRow("one frame: nothing to count")
        << QList<QRgb>{red} << false << 0
        << lines({QStringLiteral("00:00:00 - 00:00:00\tslides/slide_0001.png")}) << QByteArray()
        << false;
}

// Sets up the files of the current row; returns the standard error it
// expects, with the reader's error text in place.
QByteArray Progress::prepareRow()
{
    QFETCH(QList<QRgb>, colours);
    QFETCH(bool, blockFirstSlide);
    QFETCH(QByteArray, err);

    prepareFrames(colours);
    if (blockFirstSlide) // a non-empty directory in the way of the rename
        QDir().mkpath(path(QStringLiteral("slides/slide_0001.png/keep")));
    if (colours.contains(0))
        err.replace("%1", readerError(int(colours.indexOf(0)) + 1));
    return err;
}

void Progress::notATerminal()
{
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);

    const QByteArray err = prepareRow();
    const RunResult result = runStillsift({QStringLiteral("--input=talk.mp4")}, m_dir.path(),
                                          environmentWithPath(m_bin));
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out, out);
    QCOMPARE(result.err, err);
}

void Progress::onATerminal()
{
    QFETCH(QList<QRgb>, colours);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(bool, showsProgress);

    const QByteArray err = prepareRow();
    const TerminalRun run = runOnTerminal({QStringLiteral("--input=talk.mp4")}, m_dir.path(),
                                          environmentWithPath(m_bin));
    QCOMPARE(run.exitCode, exitCode);

    const ProgressShown shown = progressShown(run.written, int(colours.size()));
    QVERIFY2(shown.failure.isEmpty(), qPrintable(shown.failure));
    QCOMPARE(shown.lines > 0, showsProgress);
    verifyLineGoneBefore(run.written, out + err);
}

void Progress::redrawsAreThrottled()
{
    const int frameCount = 400;
    prepareFrames(QList<QRgb>(frameCount, qRgb(10, 20, 30)));
    // One copy for all: a process per frame would take longer than the run.
    writeFakeFfmpeg(m_bin, "cp source/* \"$(dirname \"$5\")\"");
    QElapsedTimer clock;
    clock.start();
    const TerminalRun run = runOnTerminal({QStringLiteral("--input=talk.mp4")}, m_dir.path(),
                                          environmentWithPath(m_bin));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(run.exitCode, 0);

    const ProgressShown shown = progressShown(run.written, frameCount);
    QVERIFY2(shown.failure.isEmpty(), qPrintable(shown.failure));
    QVERIFY(shown.lines >= 1);
    // At most one redraw per 200 ms after the first, however fast the frames come.
    QVERIFY2(shown.lines <= 1 + elapsed / 200,
             qPrintable(QStringLiteral("%1 redraws in %2 ms").arg(shown.lines).arg(elapsed)));
    verifyLineGoneBefore(run.written, "00:00:00 - 00:06:39\tslides/slide_0001.png\n");
}

void Progress::videoTimeThroughThePipe_data()
{
    QTest::addColumn<QByteArray>("probe"); // the fake ffprobe's answer
    QTest::addColumn<int>("duration");     // 0: none to be shown
    QTest::addColumn<bool>("blockFirstSlide");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("length known: time and percentage")
        << QByteArray("echo 8.000000") << 8 << false << 0;
    QTest::newRow("length unknown: time alone") << QByteArray("exit 1") << 0 << false << 0;
    QTest::newRow("slide refused while the line is shown")
        << QByteArray("echo 8.000000") << 8 << true << 1;
}

void Progress::videoTimeThroughThePipe()
{
    QFETCH(QByteArray, probe);
    QFETCH(int, duration);
    QFETCH(bool, blockFirstSlide);
    QFETCH(int, exitCode);

    // Six frames, a quarter of a second apart: the line has time to move.
    QByteArray frames;
    int number = 0;
    for (const QRgb colour : {qRgb(200, 0, 0), qRgb(200, 0, 0), qRgb(0, 0, 200), qRgb(0, 0, 200),
                              qRgb(0, 200, 0), qRgb(0, 200, 0)}) {
        const QByteArray name = "frame" + QByteArray::number(++number) + ".ppm";
        writeFile(path(QString::fromLatin1(name)), ppmOf(solidImage(2, 1, colour)));
        frames += "cat " + name + "\nsleep 0.25\n";
    }
    writeFakeFfmpeg(m_bin, frames);
    const QString probed = path(QStringLiteral("probed"));
    QFile::remove(probed);
    writeFile(m_bin + QStringLiteral("/ffprobe"),
              "#!/bin/sh\ntouch '" + QFile::encodeName(probed) + "'\n" + probe + '\n');
    QVERIFY(QFile::setPermissions(m_bin + QStringLiteral("/ffprobe"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const auto prepare = [&] {
        QDir(path(QStringLiteral("slides"))).removeRecursively();
        if (blockFirstSlide) // a non-empty directory in the way of the slide
            QDir().mkpath(path(QStringLiteral("slides/slide_0001.png/keep")));
    };
    const QStringList arguments{QStringLiteral("--input=talk.mp4"), QStringLiteral("--pipe")};

    prepare();
    const RunResult plain = runStillsift(arguments, m_dir.path(), environmentWithPath(m_bin));
    QCOMPARE(plain.exitCode, exitCode);
    QVERIFY2(!QFile::exists(probed), "ffprobe runs for the progress line only");
    QCOMPARE(plain.err.isEmpty(), !blockFirstSlide);

    prepare();
    const TerminalRun run = runOnTerminal(arguments, m_dir.path(), environmentWithPath(m_bin));
    QCOMPARE(run.exitCode, exitCode);
    const ProgressShown shown = videoTimeShown(run.written, duration);
    QVERIFY2(shown.failure.isEmpty(), qPrintable(shown.failure));
    QVERIFY(shown.lines > 0);
    verifyLineGoneBefore(run.written, plain.out + plain.err);
}

QTEST_GUILESS_MAIN(Progress)
#include "tst_progress.moc"
