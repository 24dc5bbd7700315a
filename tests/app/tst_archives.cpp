// Runs as archives make them: two runs on one folder, frame files left by a
// run that was cut short, runs interrupted by a signal at every stage, and a
// batch of talks through GNU parallel. Real ffmpeg on small generated talks,
// behind a wrapper that tells the test its process id.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

// A talk of plain pictures, secondsEach seconds each, 25 frames a second.
bool makeColourTalk(const QString &path, const QStringList &colours, int secondsEach,
                    const QString &size = QStringLiteral("320x240"))
{
    QStringList arguments{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                          QStringLiteral("error"), QStringLiteral("-y")};
    QString inputs;
    for (int i = 0; i < colours.size(); ++i) {
        arguments << QStringLiteral("-f") << QStringLiteral("lavfi") << QStringLiteral("-i")
                  << QStringLiteral("color=c=%1:size=%2:rate=25:duration=%3")
                         .arg(colours.at(i), size)
                         .arg(secondsEach);
        inputs += QStringLiteral("[%1:v]").arg(i);
    }
    arguments << QStringLiteral("-filter_complex")
              << inputs +
                     QStringLiteral("concat=n=%1:v=1:a=0,format=yuv420p[v]").arg(colours.size())
              << QStringLiteral("-map") << QStringLiteral("[v]") << QStringLiteral("-c:v")
              << QStringLiteral("libx264") << QStringLiteral("-preset")
              << QStringLiteral("veryfast") << path;
    return QProcess::execute(QStringLiteral("ffmpeg"), arguments) == 0;
}

QStringList frameFilesIn(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("frame_*.png")}, QDir::Files);
}

bool processGone(pid_t pid)
{
    // An orphan is reaped by whoever adopts it; until then kill() still finds it.
    QElapsedTimer waited;
    waited.start();
    while (kill(pid, 0) == 0 || errno != ESRCH) {
        if (waited.elapsed() > 5000)
            return false;
        QTest::qWait(20);
    }
    return true;
}

// Waits, up to 60 s, until ready() holds.
bool waitUntil(const std::function<bool()> &ready)
{
    QElapsedTimer waited;
    waited.start();
    while (!ready()) {
        if (waited.elapsed() > 60000)
            return false;
        QTest::qWait(10);
    }
    return true;
}

} // namespace

class Archives : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void busyDirectoryIsLeftAlone_data();
    void busyDirectoryIsLeftAlone();
    void unlockableDirectoryKeepsItsFrameFiles_data();
    void unlockableDirectoryKeepsItsFrameFiles();
    void racingRunsOnOneFolder_data();
    void racingRunsOnOneFolder();
    void framesOfAnEarlierRunAreNotThisRunsFrames_data();
    void framesOfAnEarlierRunAreNotThisRunsFrames();
    void interruptedRunEndsCleanly_data();
    void interruptedRunEndsCleanly();
    void killedRunTakesFfmpegAlong_data();
    void killedRunTakesFfmpegAlong();
    void manyTalksThroughParallel();

  private:
    // The real ffmpeg behind a wrapper that records its process id in
    // pidFile, with extraArguments before the caller's.
    void wrapFfmpeg(const QByteArray &before, const QByteArray &extraArguments);
    RunResult run(const QStringList &arguments);
    pid_t recordedPid() const;

    QString realFfmpeg;
    QTemporaryDir talks;
    QScopedPointer<QTemporaryDir> work;
    QString binDir;
    QString pidFile;
};

void Archives::initTestCase()
{
    realFfmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    QVERIFY2(!realFfmpeg.isEmpty(), "these tests need the real ffmpeg");
    QVERIFY(makeColourTalk(talks.filePath(QStringLiteral("redblue.mp4")),
                           {QStringLiteral("red"), QStringLiteral("blue")}, 4));
    QVERIFY(makeColourTalk(talks.filePath(QStringLiteral("long.mp4")),
                           {QStringLiteral("red"), QStringLiteral("blue"), QStringLiteral("green"),
                            QStringLiteral("white")},
                           5, QStringLiteral("640x360")));
}

void Archives::init()
{
    work.reset(new QTemporaryDir);
    binDir = work->filePath(QStringLiteral("bin"));
    pidFile = work->filePath(QStringLiteral("ffmpeg.pid"));
    wrapFfmpeg(QByteArray(), QByteArray());
}

void Archives::wrapFfmpeg(const QByteArray &before, const QByteArray &extraArguments)
{
    writeFakeFfmpeg(binDir, before + "\necho $$ > '" + QFile::encodeName(pidFile) + "'\nexec '" +
                                QFile::encodeName(realFfmpeg) + "' -nostdin -loglevel error " +
                                extraArguments + " \"$@\"");
}

RunResult Archives::run(const QStringList &arguments)
{
    return runStillsift(arguments, work->path(), environmentWithPath(binDir));
}

pid_t Archives::recordedPid() const
{
    return pid_t(readFile(pidFile).trimmed().toInt());
}

void Archives::busyDirectoryIsLeftAlone_data()
{
    QTest::addColumn<QStringList>("mode");
    QTest::newRow("frame files") << QStringList();
    QTest::newRow("pipe") << QStringList{QStringLiteral("--pipe")};
}

void Archives::busyDirectoryIsLeftAlone()
{
    QFETCH(QStringList, mode);
    const QString out = work->filePath(QStringLiteral("out dir"));
    QVERIFY(QDir().mkpath(out));
    writeFile(QDir(out).filePath(frameName(7)), "left by the run that holds the folder");
    writeFile(QDir(out).filePath(QStringLiteral("slide_0001.png")), "its slide");

    const int fd = open(QFile::encodeName(out).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(fd >= 0);
    QCOMPARE(flock(fd, LOCK_EX | LOCK_NB), 0);
    const RunResult result =
        run(QStringList{QStringLiteral("--input"), talks.filePath(QStringLiteral("redblue.mp4")),
                        QStringLiteral("--out"), QStringLiteral("out dir")} +
            mode);
    close(fd);

    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, QByteArray("output directory out dir is in use by another run\n"));
    QVERIFY2(!QFile::exists(pidFile), "ffmpeg was started");
    QCOMPARE(entriesOf(out), (QStringList{frameName(7), QStringLiteral("slide_0001.png")}));
    QCOMPARE(readFile(QDir(out).filePath(frameName(7))),
             QByteArray("left by the run that holds the folder"));
}

void Archives::unlockableDirectoryKeepsItsFrameFiles_data()
{
    QTest::addColumn<QStringList>("mode");
    QTest::addColumn<bool>("staleFrame");
    QTest::newRow("frame files, a frame left there") << QStringList() << true;
    QTest::newRow("pipe, a frame left there") << QStringList{QStringLiteral("--pipe")} << true;
    QTest::newRow("pipe, no frame there") << QStringList{QStringLiteral("--pipe")} << false;
}

// A folder that can be written but not read cannot be locked: frame files
// there may be another run's, so they are neither removed nor taken for
// this run's.
void Archives::unlockableDirectoryKeepsItsFrameFiles()
{
    QFETCH(QStringList, mode);
    QFETCH(bool, staleFrame);
    if (!canRunUnprivileged())
        QSKIP("running as root without a way to switch to an unprivileged user");
    const QString out = work->filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    if (staleFrame)
        writeFile(QDir(out).filePath(frameName(1)), "maybe another run's");
    // The unprivileged user reads only what is in the work folder.
    QVERIFY(QFile::copy(talks.filePath(QStringLiteral("redblue.mp4")),
                        work->filePath(QStringLiteral("talk.mp4"))));
    QVERIFY(QFile::setPermissions(out, QFile::WriteOwner | QFile::ExeOwner | QFile::WriteOther |
                                           QFile::ExeOther));
    const RunResult result = runStillsiftUnprivileged(
        QStringList{QStringLiteral("--input=talk.mp4"), QStringLiteral("--out=out")} + mode,
        work->path(), environmentWithPath(binDir));
    QVERIFY(QFile::setPermissions(out, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    if (!staleFrame) {
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(entriesOf(out),
                 (QStringList{QStringLiteral("slide_0001.png"), QStringLiteral("slide_0002.png")}));
        return;
    }
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, QByteArray("output directory out cannot be locked and holds frame files "
                                    "that may belong to another run\n"));
    QVERIFY2(!QFile::exists(pidFile), "ffmpeg was started");
    QCOMPARE(readFile(QDir(out).filePath(frameName(1))), QByteArray("maybe another run's"));
}

void Archives::racingRunsOnOneFolder_data()
{
    busyDirectoryIsLeftAlone_data();
}

void Archives::racingRunsOnOneFolder()
{
    QFETCH(QStringList, mode);
    const QStringList arguments =
        QStringList{QStringLiteral("--input"), talks.filePath(QStringLiteral("redblue.mp4")),
                    QStringLiteral("--out"), QStringLiteral("shared")} +
        mode;
    // The winner's ffmpeg waits at a gate, holding the winner in the folder
    // until the other run has given up; only then is the gate opened.
    const QByteArray gate = QFile::encodeName(work->filePath(QStringLiteral("gate")));
    wrapFfmpeg("while [ ! -e '" + gate + "' ]; do sleep 0.05; done", QByteArray());
    QProcess first;
    QProcess second;
    for (QProcess *runner : {&first, &second}) {
        runner->setWorkingDirectory(work->path());
        runner->setProcessEnvironment(environmentWithPath(binDir));
    }
    first.start(QStringLiteral(STILLSIFT_BINARY_PATH), arguments);
    second.start(QStringLiteral(STILLSIFT_BINARY_PATH), arguments);
    QTRY_VERIFY_WITH_TIMEOUT(
        first.state() == QProcess::NotRunning || second.state() == QProcess::NotRunning, 60000);
    writeFile(QString::fromLocal8Bit(gate), "open");
    for (QProcess *runner : {&first, &second})
        QVERIFY(runner->state() == QProcess::NotRunning || runner->waitForFinished(60000));

    QProcess &winner = first.exitCode() == 0 ? first : second;
    QProcess &loser = first.exitCode() == 0 ? second : first;
    QCOMPARE(winner.exitCode(), 0);
    QCOMPARE(winner.readAllStandardOutput(),
             lines({QStringLiteral("00:00:00 - 00:00:03\tshared/slide_0001.png"),
                    QStringLiteral("00:00:04 - 00:00:07\tshared/slide_0002.png")}));
    QCOMPARE(loser.exitCode(), 1);
    QCOMPARE(loser.readAllStandardOutput(), QByteArray());
    QCOMPARE(loser.readAllStandardError(),
             QByteArray("output directory shared is in use by another run\n"));
    QCOMPARE(entriesOf(work->filePath(QStringLiteral("shared"))),
             (QStringList{QStringLiteral("slide_0001.png"), QStringLiteral("slide_0002.png")}));
}

void Archives::framesOfAnEarlierRunAreNotThisRunsFrames_data()
{
    busyDirectoryIsLeftAlone_data();
}

void Archives::framesOfAnEarlierRunAreNotThisRunsFrames()
{
    QFETCH(QStringList, mode);
    const QString out = work->filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    // A longer talk's run, killed before it pruned its frames, and files of
    // the user's that only look alike.
    for (int number = 1; number <= 12; ++number)
        writePng(QDir(out).filePath(frameName(number)), solidImage(320, 240, qRgb(0, 200, 0)));
    writePng(QDir(out).filePath(QStringLiteral("frame_1000000.png")),
             solidImage(320, 240, qRgb(0, 200, 0)));
    const QStringList keep{QStringLiteral("frame_000001.png.txt"), QStringLiteral("notes.png"),
                           QStringLiteral("slide_0009.png")};
    for (const QString &name : keep)
        writeFile(QDir(out).filePath(name), name.toUtf8());

    const RunResult result =
        run(QStringList{QStringLiteral("--input"), talks.filePath(QStringLiteral("redblue.mp4")),
                        QStringLiteral("--out"), QStringLiteral("out")} +
            mode);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, lines({QStringLiteral("00:00:00 - 00:00:03\tout/slide_0001.png"),
                                QStringLiteral("00:00:04 - 00:00:07\tout/slide_0002.png")}));
    QCOMPARE(entriesOf(out),
             (QStringList{QStringLiteral("frame_000001.png.txt"), QStringLiteral("notes.png"),
                          QStringLiteral("slide_0001.png"), QStringLiteral("slide_0002.png"),
                          QStringLiteral("slide_0009.png")}));
    for (const QString &name : keep)
        QCOMPARE(readFile(QDir(out).filePath(name)), name.toUtf8());
}

void Archives::interruptedRunEndsCleanly_data()
{
    QTest::addColumn<QStringList>("mode");
    QTest::addColumn<QByteArray>("ffmpegOptions");
    QTest::addColumn<QString>("when"); // which sign to wait for before the signal
    QTest::addColumn<int>("signal");
    QTest::addColumn<QStringList>("slidesLeft");

    const QStringList pipe{QStringLiteral("--pipe")};
    // -re: ffmpeg reads the talk at its own pace, so the run is still busy.
    QTest::newRow("frame files, mid-extraction, SIGINT")
        << QStringList() << QByteArray("-re") << QStringLiteral("frames") << SIGINT
        << QStringList();
    QTest::newRow("frame files, mid-walk, SIGTERM")
        << QStringList{QStringLiteral("--fps"), QStringLiteral("25")} << QByteArray()
        << QStringLiteral("ffmpeg ended") << SIGTERM << QStringList();
    QTest::newRow("pipe, mid-extraction, SIGHUP")
        << pipe << QByteArray("-re") << QStringLiteral("ffmpeg started") << SIGHUP << QStringList();
    QTest::newRow("pipe, mid-walk, SIGINT")
        << pipe << QByteArray("-re") << QStringLiteral("first slide") << SIGINT
        << QStringList{QStringLiteral("slide_0001.png")};
}

void Archives::interruptedRunEndsCleanly()
{
    QFETCH(QStringList, mode);
    QFETCH(QByteArray, ffmpegOptions);
    QFETCH(QString, when);
    QFETCH(int, signal);
    QFETCH(QStringList, slidesLeft);
    wrapFfmpeg(QByteArray(), ffmpegOptions);
    const QString out = work->filePath(QStringLiteral("out"));

    QProcess stillsift;
    stillsift.setWorkingDirectory(work->path());
    stillsift.setProcessEnvironment(environmentWithPath(binDir));
    stillsift.start(QStringLiteral(STILLSIFT_BINARY_PATH),
                    QStringList{QStringLiteral("--input"),
                                talks.filePath(QStringLiteral("long.mp4")), QStringLiteral("--out"),
                                QStringLiteral("out")} +
                        mode);
    QVERIFY(stillsift.waitForStarted());
    const auto ffmpegStarted = [&] { return recordedPid() > 0; };
    if (when == QLatin1String("frames"))
        QVERIFY(waitUntil([&] { return frameFilesIn(out).size() >= 3; }));
    else if (when == QLatin1String("ffmpeg ended"))
        QVERIFY(waitUntil([&] { return ffmpegStarted() && kill(recordedPid(), 0) != 0; }));
    else if (when == QLatin1String("ffmpeg started"))
        QVERIFY(waitUntil(ffmpegStarted));
    else
        QVERIFY(waitUntil([&] { return QFile::exists(QDir(out).filePath(slidesLeft.first())); }));
    QCOMPARE(stillsift.state(), QProcess::Running);
    kill(pid_t(stillsift.processId()), signal);

    QVERIFY(stillsift.waitForFinished(60000));
    QCOMPARE(stillsift.exitStatus(), QProcess::NormalExit);
    QCOMPARE(stillsift.exitCode(), 128 + signal);
    QCOMPARE(stillsift.readAllStandardError(), QByteArray("interrupted\n"));
    QCOMPARE(stillsift.readAllStandardOutput(), QByteArray());
    QVERIFY2(processGone(recordedPid()), "ffmpeg outlived the run");
    // Only whole slides stay: no frame file, no temporary file.
    QCOMPARE(entriesOf(out), slidesLeft);
    for (const QString &slide : slidesLeft)
        QVERIFY(!QImageReader(QDir(out).filePath(slide)).read().isNull());
}

void Archives::killedRunTakesFfmpegAlong_data()
{
    QTest::addColumn<QStringList>("mode");
    QTest::newRow("frame files") << QStringList();
    // ffmpeg is started on the pipe's reader thread, which the kernel takes
    // for its parent: killed mid-walk, with that thread reading.
    QTest::newRow("pipe") << QStringList{QStringLiteral("--pipe")};
}

// SIGKILL leaves no handler to stop ffmpeg: the kernel must.
void Archives::killedRunTakesFfmpegAlong()
{
    QFETCH(QStringList, mode);
    wrapFfmpeg(QByteArray(), "-re");
    const QString out = work->filePath(QStringLiteral("out"));

    QProcess stillsift;
    stillsift.setWorkingDirectory(work->path());
    stillsift.setProcessEnvironment(environmentWithPath(binDir));
    stillsift.start(QStringLiteral(STILLSIFT_BINARY_PATH),
                    QStringList{QStringLiteral("--input"),
                                talks.filePath(QStringLiteral("long.mp4")), QStringLiteral("--out"),
                                QStringLiteral("out")} +
                        mode);
    QVERIFY(stillsift.waitForStarted());
    if (mode.isEmpty())
        QVERIFY(waitUntil([&] { return frameFilesIn(out).size() >= 3; }));
    else
        QVERIFY(waitUntil(
            [&] { return QFile::exists(QDir(out).filePath(QStringLiteral("slide_0001.png"))); }));
    QCOMPARE(stillsift.state(), QProcess::Running);
    const pid_t ffmpeg = recordedPid();
    QVERIFY(ffmpeg > 0 && kill(ffmpeg, 0) == 0);
    kill(pid_t(stillsift.processId()), SIGKILL);
    QVERIFY(stillsift.waitForFinished(60000));
    QVERIFY2(processGone(ffmpeg), "ffmpeg outlived the run");
}

void Archives::manyTalksThroughParallel()
{
    const QString parallel = QStandardPaths::findExecutable(QStringLiteral("parallel"));
    QVERIFY2(!parallel.isEmpty(), "GNU parallel is not installed (scripts/install-deps.sh)");
    const QString talksDir = work->filePath(QStringLiteral("talks"));
    QVERIFY(QDir().mkpath(talksDir));
    const QList<QStringList> colours{
        {QStringLiteral("red"), QStringLiteral("blue")},
        {QStringLiteral("green")},
        {QStringLiteral("white"), QStringLiteral("black"), QStringLiteral("yellow")}};
    for (int i = 0; i < colours.size(); ++i)
        QVERIFY(makeColourTalk(QDir(talksDir).filePath(QStringLiteral("talk %1.mp4").arg(i + 1)),
                               colours.at(i), 3));

    // The README's recipe for one machine, word for word but for -j2.
    const QByteArray recipe =
        "parallel -j2 --joblog jobs.log "
        "'mkdir -p {/.} && stillsift --input {} --out {/.}/slides > {/.}/timeline.txt "
        "2> {/.}/log.txt' ::: talks/*.mp4";
    QProcessEnvironment environment =
        environmentWithPath(QFileInfo(QStringLiteral(STILLSIFT_BINARY_PATH)).absolutePath());
    const RunResult batch =
        runProgram(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromUtf8(recipe)},
                   work->path(), environment);
    QCOMPARE(batch.exitCode, 0);
    QCOMPARE(readFile(work->filePath(QStringLiteral("jobs.log"))).count('\n'), 4); // head + 3

    for (int i = 1; i <= colours.size(); ++i) {
        const QString name = QStringLiteral("talk %1").arg(i);
        const QString single = QStringLiteral("single %1").arg(i);
        QVERIFY(QDir().mkpath(work->filePath(single)));
        const RunResult alone = runStillsift(
            {QStringLiteral("--input"), QDir(talksDir).filePath(name + QStringLiteral(".mp4")),
             QStringLiteral("--out"), name + QStringLiteral("/slides")},
            QDir(work->filePath(single)).path(), environment);
        QCOMPARE(alone.exitCode, 0);
        const QString batchDir = work->filePath(name);
        QCOMPARE(readFile(QDir(batchDir).filePath(QStringLiteral("timeline.txt"))), alone.out);
        const QDir batchSlides(QDir(batchDir).filePath(QStringLiteral("slides")));
        const QDir aloneSlides(
            QDir(work->filePath(single)).filePath(name + QStringLiteral("/slides")));
        QCOMPARE(entriesOf(batchSlides.path()), entriesOf(aloneSlides.path()));
        QCOMPARE(entriesOf(batchSlides.path()).size(), colours.at(i - 1).size());
        for (const QString &slide : entriesOf(aloneSlides.path()))
            QCOMPARE(readFile(batchSlides.filePath(slide)), readFile(aloneSlides.filePath(slide)));
    }
}

QTEST_GUILESS_MAIN(Archives)
#include "tst_archives.moc"
