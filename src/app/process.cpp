#include "app.h"

#include <QtGlobal>

#include <csignal>

#include <malloc.h>

void ignoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void silenceQtDiagnostics()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

void keepFreedMemory()
{
    // Up to the largest size glibc allows from the heap; larger pictures
    // (4K frames of four bytes a pixel) still come and go by themselves.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
}
