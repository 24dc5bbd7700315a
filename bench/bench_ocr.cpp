// The cost of reading the words of slide images:
//     bench_ocr LANG IMAGE... [> texts.json]
// reads them all as a run with --ocr does, on every core, and prints the
// wall time for all of them and per image, and the processor time per
// image (every thread's), on standard error, and the texts
// by image path as JSON on standard output (for ocr-recall.py --texts).
#include "ocr.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>

#include <sys/resource.h>

namespace
{

// The processor time of every thread so far: on a machine shared with other
// work the wall time says little about the cost.
double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    QTextStream out(stderr);
    if (arguments.size() < 2) {
        out << "usage: bench_ocr LANG IMAGE...\n";
        return 2;
    }
    const QString languages = arguments.takeFirst();
    arguments.removeDuplicates();
    QStringList texts;
    QString failure;
    QElapsedTimer timer;
    timer.start();
    const double processorBefore = processorSeconds();
    if (!readSlideTexts(arguments, languages, {}, &texts, &failure)) {
        out << "failed: " << failure << '\n';
        return 1;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const double processor = processorSeconds() - processorBefore;
    qsizetype characters = 0;
    for (const QString &text : std::as_const(texts))
        characters += text.size();
    out << arguments.size() << " images in " << QString::number(seconds, 'f', 2) << " s, "
        << QString::number(1000 * seconds / double(arguments.size()), 'f', 0) << " ms per image; "
        << QString::number(processor / double(arguments.size()), 'f', 2)
        << " s of processor time per image; " << characters << " characters read\n";
    QJsonObject byPath;
    for (qsizetype i = 0; i < arguments.size(); ++i)
        byPath.insert(arguments.at(i), texts.at(i));
    QTextStream(stdout) << QJsonDocument(byPath).toJson();
    return 0;
}
