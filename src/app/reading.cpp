#include "app.h"
#include "ocr.h"
#include "output.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QObject>

#include <cstring>

namespace
{

// Looked for before the parser runs, which needs the application object.
bool asksFor(int argc, char **argv, const char *option)
{
    const size_t length = std::strlen(option);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], option, length) == 0 &&
            (argv[i][length] == '\0' || argv[i][length] == '='))
            return true;
    }
    return false;
}

bool readTexts(const RunOptions &options, const QList<Segment> &segments, RunSummary *run)
{
    QHash<QString, QString> texts;
    QString failure;
    if (!readSlideTexts(slideImagePaths(segments, QDir(options.outDir)), options.ocrLanguages,
                        &texts, &failure)) {
        writeMessage(QObject::tr("OCR failed: %1\n").arg(failure));
        return false;
    }
    run->texts = texts;
    return true;
}

} // namespace

std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv)
{
    if (!asksFor(argc, argv, "--ocr") || !asksFor(argc, argv, "--pdf"))
        return std::make_unique<QCoreApplication>(argc, argv);
    // Fonts come with a platform; the offscreen one needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QGuiApplication>(argc, argv);
}

bool writeReadingAids(const RunOptions &options, const QList<Segment> &segments, RunSummary *run)
{
    if (!options.ocrLanguages.isEmpty() && !readTexts(options, segments, run))
        return false;
    const QDir outDir(options.outDir);
    QString failure;
    if (!options.pdfPath.isEmpty() &&
        !writeSlidesPdf(options.pdfPath, segments, outDir, QFileInfo(options.input).fileName(),
                        run->texts.value_or(QHash<QString, QString>()), &failure)) {
        writeMessage(QObject::tr("failed to write %1: %2\n").arg(options.pdfPath, failure));
        return false;
    }
    if (!options.htmlPath.isEmpty() &&
        !writeHtmlPage(options.htmlPath, segments, options.fps, outDir, *run, &failure)) {
        writeMessage(QObject::tr("failed to write %1: %2\n").arg(options.htmlPath, failure));
        return false;
    }
    return true;
}
