// What a user gets: the install tree, the Debian package and the manual
// page. Everything is installed, packed and unpacked into scratch
// directories only; nothing touches the system.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QString sourceDir = QStringLiteral(STILLSIFT_SOURCE_DIR);

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The rows of the table of messages in docs/messages.md: message and cause, each
// without the backticks around the literal parts.
QList<QPair<QString, QString>> readmeMessages()
{
    const QString readme =
        QString::fromUtf8(fileContents(sourceDir + QStringLiteral("/docs/messages.md")));
    const qsizetype start = readme.indexOf(QStringLiteral("\n## Exit status and messages\n"));
    if (start < 0)
        return {};
    const qsizetype end = readme.indexOf(QStringLiteral("\n## "), start + 1);
    QList<QPair<QString, QString>> rows;
    for (QString line : readme.mid(start, end < 0 ? -1 : end - start).split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("| ")) || line.startsWith(QLatin1String("| message")))
            continue;
        const QStringList cells = line.remove(QLatin1Char('`')).split(QLatin1String(" | "));
        if (cells.size() == 2)
            rows.append({cells.at(0).mid(2).simplified(), cells.at(1).chopped(2).simplified()});
    }
    return rows;
}

// The tagged paragraphs of rendered manual text, each on one line: a line
// indented deeper than the one before it is the text for the tag there.
QList<QPair<QString, QString>> taggedParagraphs(const QString &text)
{
    const auto indent = [](const QString &line) {
        qsizetype spaces = 0;
        while (spaces < line.size() && line.at(spaces) == QLatin1Char(' '))
            ++spaces;
        return spaces;
    };
    QList<QPair<QString, QString>> paragraphs;
    QString previous;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (!previous.trimmed().isEmpty() && !line.trimmed().isEmpty() &&
            indent(line) > indent(previous))
            paragraphs.append({previous.simplified(), line.simplified()});
        previous = line;
    }
    return paragraphs;
}

} // namespace

class Install : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void installTreeHoldsBinaryAndManual();
    void packageIsNamedAndDescribed();
    void packageDeclaresItsDependencies();
    void packageHoldsBinaryAndManualThatRun();
    void manualRendersWithoutWarnings();
    void manualListsEveryMessageOfTheReadme();

  private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    // Runs a tool that must succeed; returns its standard output.
    QByteArray runTool(const QString &program, const QStringList &arguments);
    QString controlField(const QString &field);
    void verifyHelpRuns(const QString &binary);

    QTemporaryDir m_dir;
    QString m_dpkgDeb;
    QString m_package;
};

QByteArray Install::runTool(const QString &program, const QStringList &arguments)
{
    const RunResult result =
        runProgram(program, arguments, m_dir.path(), QProcessEnvironment::systemEnvironment());
    const QByteArray what =
        (program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '))).toLocal8Bit();
    if (result.exitStatus != QProcess::NormalExit || result.exitCode != 0)
        QTest::qFail((what + " failed:\n" + result.err).constData(), __FILE__, __LINE__);
    return result.out;
}

QString Install::controlField(const QString &field)
{
    return QString::fromUtf8(runTool(m_dpkgDeb, {QStringLiteral("-f"), m_package, field}))
        .trimmed();
}

void Install::verifyHelpRuns(const QString &binary)
{
    QVERIFY2(QFileInfo(binary).isExecutable(), qPrintable(binary));
    const RunResult result = runProgram(binary, {QStringLiteral("--help")}, m_dir.path(),
                                        QProcessEnvironment::systemEnvironment());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    QVERIFY2(result.out.contains("Detect slide changes and export key frames"),
             result.out.constData());
    QVERIFY(result.out.contains("--input <file>"));
}

void Install::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dpkgDeb = QStandardPaths::findExecutable(QStringLiteral("dpkg-deb"));
    if (m_dpkgDeb.isEmpty())
        return; // the package tests skip themselves
    // cpack first brings the build tree up to date, which after the build
    // that precedes a test run changes nothing; its work files and the
    // package go to the scratch directory, not into the build tree.
    runTool(QStringLiteral(CPACK_COMMAND_PATH),
            {QStringLiteral("--config"), QStringLiteral(STILLSIFT_BUILD_DIR "/CPackConfig.cmake"),
             QStringLiteral("-B"), path(QStringLiteral("package"))});
    const QStringList debs =
        QDir(path(QStringLiteral("package"))).entryList({QStringLiteral("*.deb")}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    m_package = path(QStringLiteral("package/") + debs.first());
}

void Install::installTreeHoldsBinaryAndManual()
{
    const QString prefix = path(QStringLiteral("prefix"));
    runTool(QStringLiteral(CMAKE_COMMAND_PATH),
            {QStringLiteral("--install"), QStringLiteral(STILLSIFT_BUILD_DIR),
             QStringLiteral("--prefix"), prefix});
    verifyHelpRuns(prefix + QStringLiteral("/bin/stillsift"));
    QCOMPARE(fileContents(prefix + QStringLiteral("/share/man/man1/stillsift.1")),
             fileContents(sourceDir + QStringLiteral("/man/stillsift.1")));
}

void Install::packageIsNamedAndDescribed()
{
    if (m_dpkgDeb.isEmpty())
        QSKIP("dpkg-deb is not installed");
    QCOMPARE(controlField(QStringLiteral("Package")), QStringLiteral("stillsift"));
    QCOMPARE(controlField(QStringLiteral("Version")), QStringLiteral(STILLSIFT_VERSION));
    QCOMPARE(
        QFileInfo(m_package).fileName(),
        QStringLiteral("stillsift_%1_%2.deb")
            .arg(QStringLiteral(STILLSIFT_VERSION), controlField(QStringLiteral("Architecture"))));
    QCOMPARE(controlField(QStringLiteral("Section")), QStringLiteral("utils"));
    QVERIFY(controlField(QStringLiteral("Maintainer"))
                .contains(QRegularExpression(QStringLiteral("^\\S.* <\\S+@\\S+>$"))));
    const QStringList description =
        controlField(QStringLiteral("Description")).split(QLatin1Char('\n'));
    QVERIFY2(description.size() > 1, "a summary and a long description");
    for (const QString &line : description)
        QVERIFY2(line.size() <= 80, qPrintable(line));
}

void Install::packageDeclaresItsDependencies()
{
    if (m_dpkgDeb.isEmpty())
        QSKIP("dpkg-deb is not installed");
    QStringList depends = controlField(QStringLiteral("Depends")).split(QLatin1Char(','));
    for (QString &dependency : depends)
        dependency = dependency.trimmed();
    // The Qt this was built against is the oldest it runs with.
    const QString bound = QStringLiteral(" (>= %1.%2)").arg(QT_VERSION_MAJOR).arg(QT_VERSION_MINOR);
    QVERIFY(QT_VERSION >= QT_VERSION_CHECK(6, 4, 0));
    for (const QString &needed :
         {QStringLiteral("libqt6core6") + bound, QStringLiteral("libqt6gui6") + bound,
          QStringLiteral("libpng16-16"), QStringLiteral("libopencv-imgproc406"),
          QStringLiteral("ffmpeg"), QStringLiteral("libtesseract5"),
          QStringLiteral("tesseract-ocr-eng")})
        QVERIFY2(depends.contains(needed), qPrintable(depends.join(QLatin1String(", "))));
}

void Install::packageHoldsBinaryAndManualThatRun()
{
    if (m_dpkgDeb.isEmpty())
        QSKIP("dpkg-deb is not installed");
    const QString contents =
        QString::fromUtf8(runTool(m_dpkgDeb, {QStringLiteral("-c"), m_package}));
    QVERIFY2(contents.contains(QRegularExpression(
                 QStringLiteral("^-rwxr-xr-x root/root .* \\./usr/bin/stillsift$"),
                 QRegularExpression::MultilineOption)),
             qPrintable(contents));
    QVERIFY2(contents.contains(QRegularExpression(
                 QStringLiteral("^-rw-r--r-- root/root .* \\./usr/share/man/man1/stillsift\\.1$"),
                 QRegularExpression::MultilineOption)),
             qPrintable(contents));

    const QString root = path(QStringLiteral("root"));
    runTool(m_dpkgDeb, {QStringLiteral("-x"), m_package, root});
    verifyHelpRuns(root + QStringLiteral("/usr/bin/stillsift"));
    QCOMPARE(fileContents(root + QStringLiteral("/usr/share/man/man1/stillsift.1")),
             fileContents(sourceDir + QStringLiteral("/man/stillsift.1")));
}

void Install::manualRendersWithoutWarnings()
{
    const QString groff = QStandardPaths::findExecutable(QStringLiteral("groff"));
    if (groff.isEmpty())
        QSKIP("groff is not installed");
    const RunResult result =
        runProgram(groff,
                   {QStringLiteral("-man"), QStringLiteral("-Tutf8"), QStringLiteral("-ww"),
                    QStringLiteral("-z"), sourceDir + QStringLiteral("/man/stillsift.1")},
                   m_dir.path(), QProcessEnvironment::systemEnvironment());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
}

void Install::manualListsEveryMessageOfTheReadme()
{
    const QString groff = QStandardPaths::findExecutable(QStringLiteral("groff"));
    if (groff.isEmpty())
        QSKIP("groff is not installed");
    // One very long line per paragraph and no hyphenation: the rendered
    // text reads like plain text.
    const QString page = QString::fromUtf8(
        runTool(groff, {QStringLiteral("-man"), QStringLiteral("-Tutf8"), QStringLiteral("-P-cbou"),
                        QStringLiteral("-rLL=2000n"), QStringLiteral("-rHY=0"),
                        sourceDir + QStringLiteral("/man/stillsift.1")}));
    const QString heading = QStringLiteral("\nEXIT STATUS\n");
    const qsizetype start = page.indexOf(heading) + heading.size();
    const qsizetype end = page.indexOf(QStringLiteral("\nEXAMPLES\n"));
    QVERIFY2(start >= heading.size() && end > start, qPrintable(page));

    const QList<QPair<QString, QString>> rows = readmeMessages();
    QVERIFY2(!rows.isEmpty(), "the table of messages in docs/messages.md was not found");
    QCOMPARE(taggedParagraphs(page.mid(start, end - start)), rows);
}

QTEST_GUILESS_MAIN(Install)
#include "tst_install.moc"
