#include "message.h"

#include <QTextStream>

#include <cstdio>
#include <mutex>

namespace
{

// Messages come from the walk and from the reading threads; one at a time
// reaches the terminal, and only here is it known whether a progress line
// is up.
std::mutex terminalLock;
qsizetype progressShown = 0; // the length of the progress line on the terminal, 0 for none

void put(const QString &text)
{
    // A stream per text: it is flushed when it goes out of scope, so the
    // text is out before anything else happens.
    QTextStream err(stderr);
    err << text;
}

} // namespace

void writeMessage(const QString &message)
{
    const std::lock_guard<std::mutex> lock(terminalLock);
    // A message starts on a line of its own; the progress line is drawn
    // again below it.
    if (progressShown > 0) {
        put(QStringLiteral("\n"));
        progressShown = 0;
    }
    put(message);
}

void showProgress(const QString &line)
{
    const std::lock_guard<std::mutex> lock(terminalLock);
    // A shorter line than the one shown is padded to cover it.
    const qsizetype padding = std::max<qsizetype>(0, progressShown - line.size());
    put(QLatin1Char('\r') + line + QString(padding, QLatin1Char(' ')));
    progressShown = line.size() + padding;
}

void eraseProgress()
{
    const std::lock_guard<std::mutex> lock(terminalLock);
    if (progressShown == 0)
        return;
    put(QLatin1Char('\r') + QString(progressShown, QLatin1Char(' ')) + QLatin1Char('\r'));
    progressShown = 0;
}
