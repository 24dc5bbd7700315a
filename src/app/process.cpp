#include "app.h"

#include <QtGlobal>

#include <csignal>

void ignoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void silenceQtDiagnostics()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}
