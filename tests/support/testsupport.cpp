#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

#include <unistd.h>

namespace
{

const QString unprivilegedId = QStringLiteral("65534"); // nobody

bool isRoot()
{
    return geteuid() == 0;
}

QStringList asUnprivilegedUser(const QStringList &command)
{
    return QStringList{QStringLiteral("--reuid=") + unprivilegedId,
                       QStringLiteral("--regid=") + unprivilegedId,
                       QStringLiteral("--clear-groups"), QStringLiteral("--")} +
           command;
}

bool handToUnprivilegedUser(const QString &path)
{
    return QProcess::execute(QStringLiteral("chown"),
                             {QStringLiteral("-R"),
                              unprivilegedId + QLatin1Char(':') + unprivilegedId, path}) == 0;
}

} // namespace

RunResult runProgram(const QString &program, const QStringList &arguments, const QString &workDir,
                     const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workDir);
    process.setProcessEnvironment(environment);
    process.start();
    process.closeWriteChannel();
    RunResult result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        QTest::qFail(qPrintable(program + QStringLiteral(" did not finish within 60 s")), __FILE__,
                     __LINE__);
        return result;
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

RunResult runStillsift(const QStringList &arguments, const QString &workDir,
                       const QProcessEnvironment &environment)
{
    return runProgram(QStringLiteral(STILLSIFT_BINARY_PATH), arguments, workDir, environment);
}

RunResult runStillsiftUnprivileged(const QStringList &arguments, const QString &workDir,
                                   const QProcessEnvironment &environment)
{
    if (!isRoot())
        return runStillsift(arguments, workDir, environment);
    // The build tree may lie where that user cannot reach it (below /root,
    // say); the binary needs nothing from it but Qt, so a copy serves.
    QTemporaryDir binDir;
    const QString binary = binDir.filePath(QStringLiteral("stillsift"));
    if (!QFile::copy(QStringLiteral(STILLSIFT_BINARY_PATH), binary) ||
        !handToUnprivilegedUser(binDir.path()) || !handToUnprivilegedUser(workDir)) {
        QTest::qFail("cannot hand the binary and the scratch directory to the unprivileged user",
                     __FILE__, __LINE__);
        return {};
    }
    return runProgram(QStringLiteral("setpriv"),
                      asUnprivilegedUser(QStringList{binary} + arguments), workDir, environment);
}

bool canRunUnprivileged()
{
    if (!isRoot())
        return true;
    QTemporaryDir workDir;
    const RunResult help = runStillsiftUnprivileged({QStringLiteral("--help")}, workDir.path(),
                                                    QProcessEnvironment::systemEnvironment());
    return help.exitStatus == QProcess::NormalExit && help.exitCode == 0;
}

QProcessEnvironment environmentWithPath(const QString &binDir)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
                       binDir + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    return environment;
}

void writeFakeFfmpeg(const QString &binDir, const QByteArray &body)
{
    QDir().mkpath(binDir);
    QFile script(QDir(binDir).filePath(QStringLiteral("ffmpeg")));
    QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
    script.write("#!/bin/sh\n" + body + "\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                  QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                  QFileDevice::ExeOther));
}

static QByteArray shellQuoted(const QString &text)
{
    QByteArray quoted = text.toLocal8Bit();
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

QByteArray recordArgumentsBody(const QString &argvFile)
{
    return "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + shellQuoted(argvFile);
}

QByteArray copyFramesBody(const QString &sourceDir)
{
    // printf turns the pattern's "%%" back into "%", as ffmpeg does.
    return "i=1\nfor f in " + shellQuoted(sourceDir) +
           "/*.png; do\n"
           "  cp -- \"$f\" \"$(printf -- \"$5\" $i)\" || exit 1\n"
           "  i=$((i + 1))\n"
           "done\n";
}

void fakeFfmpegWritingFramesIn(const QString &outDir, const QString &binDir)
{
    const QString aside = QDir(binDir).filePath(QStringLiteral("frames-aside"));
    QVERIFY(QDir().mkpath(aside));
    const QDir out(outDir);
    for (const QString &name : out.entryList({QStringLiteral("frame_*")},
                                             QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot))
        QVERIFY(QDir().rename(out.filePath(name), QDir(aside).filePath(name)));
    // printf turns the pattern's "%%" back into "%", as ffmpeg does; one mv
    // for them all, as thousands of frames are moved in some tests.
    writeFakeFfmpeg(binDir, "find " + shellQuoted(aside) +
                                " -mindepth 1 -maxdepth 1 -exec mv -t "
                                "\"$(dirname \"$(printf -- \"$5\" 1)\")\" -- {} +");
}

QString frameName(int number)
{
    return QStringLiteral("frame_%1.png").arg(number, 6, 10, QLatin1Char('0'));
}

void writeSourceFrames(const QString &sourceDir, const QList<QImage> &frames)
{
    QVERIFY(QDir().mkpath(sourceDir));
    for (qsizetype i = 0; i < frames.size(); ++i)
        writePng(
            QDir(sourceDir).filePath(QStringLiteral("%1.png").arg(i + 1, 6, 10, QLatin1Char('0'))),
            frames.at(i));
}

QStringList recordedArguments(const QString &argvFile)
{
    QFile file(argvFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList arguments;
    const QList<QByteArray> parts = file.readAll().split('\0');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) // the last part follows the final NUL
        arguments.append(QString::fromLocal8Bit(parts.at(i)));
    return arguments;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray ppmOf(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    QByteArray bytes = "P6\n" + QByteArray::number(rgb.width()) + ' ' +
                       QByteArray::number(rgb.height()) + "\n255\n";
    for (int y = 0; y < rgb.height(); ++y)
        bytes.append(reinterpret_cast<const char *>(rgb.constScanLine(y)), 3 * rgb.width());
    return bytes;
}

QImage solidImage(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

void writePng(const QString &path, const QImage &image)
{
    QVERIFY2(image.save(path, "PNG"), qPrintable(path));
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

QByteArray lines(const QStringList &lines)
{
    QByteArray text;
    for (const QString &line : lines)
        text += line.toUtf8() + '\n';
    return text;
}

QByteArray runStillsiftRedirected(const QString &arguments, const QString &redirect,
                                  const QString &workDir, const QProcessEnvironment &environment)
{
    QProcess shell;
    shell.setWorkingDirectory(workDir);
    shell.setProcessEnvironment(environment);
    shell.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"),
                 QStringLiteral("{ \"$0\" %1; echo $? > status; } %2").arg(arguments, redirect),
                 QStringLiteral(STILLSIFT_BINARY_PATH)});
    shell.closeWriteChannel();
    if (!shell.waitForFinished(60000)) {
        shell.kill();
        shell.waitForFinished();
        QTest::qFail("the run hung", __FILE__, __LINE__);
        return QByteArray();
    }
    return readFile(QDir(workDir).filePath(QStringLiteral("status")));
}

double meanSampleDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size() || a.format() != b.format() || a.isNull())
        return 255;
    const int rowBytes = a.width() * a.depth() / 8;
    qint64 sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar *p = a.constScanLine(y);
        const uchar *q = b.constScanLine(y);
        for (int x = 0; x < rowBytes; ++x)
            sum += std::abs(p[x] - q[x]);
    }
    return double(sum) / (double(rowBytes) * a.height());
}
