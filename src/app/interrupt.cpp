#include "app.h"
#include "frames.h"
#include "output.h"

#include <QObject>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace
{

std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Only async-signal-safe work here: the run itself notices the signal and
// cleans up on its own thread, once ffmpeg is gone and its frames stop.
extern "C" void noteInterrupt(int signal)
{
    // The interrupted code may be about to read errno.
    const int savedErrno = errno;
    int none = 0;
    caughtSignal.compare_exchange_strong(none, signal);
    stopChildrenNow();
    errno = savedErrno;
}

} // namespace

void catchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous = {};
        sigaction(signal, &action, &previous);
        // A signal ignored by whoever started the run (nohup, a shell's
        // background job) stays ignored.
        if (previous.sa_handler == SIG_IGN)
            sigaction(signal, &previous, nullptr);
    }
}

int interruptSignal()
{
    return caughtSignal.load();
}

FrameSource stopOnInterrupt(FrameSource frameAt)
{
    return [frameAt = std::move(frameAt)](int i) -> std::optional<QImage> {
        if (interruptSignal() != 0)
            return QImage();
        return frameAt(i);
    };
}

int endInterrupted(const QString &outDir)
{
    if (!outDir.isEmpty())
        removeFrameFiles(QDir(outDir));
    writeMessage(QObject::tr("interrupted\n"));
    return 128 + interruptSignal();
}
