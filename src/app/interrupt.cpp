#include "app.h"
#include "frames.h"
#include "output.h"

#include <QObject>

#include <atomic>
#include <csignal>

namespace
{

std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Only async-signal-safe work here: the run itself notices the signal and
// cleans up on its own thread, once ffmpeg is gone and its frames stop.
extern "C" void noteInterrupt(int signal)
{
    int none = 0;
    caughtSignal.compare_exchange_strong(none, signal);
    stopChildrenNow();
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
    removeFrameFiles(QDir(outDir));
    writeMessage(QObject::tr("interrupted\n"));
    return 128 + interruptSignal();
}

bool claimOutputDirectory(const QString &outDir, DirectoryLock *lock)
{
    QString failure;
    if (!makeOutputDirectory(outDir, &failure)) {
        writeMessage(QObject::tr("ffmpeg failed: %1\n").arg(failure));
        return false;
    }
    if (lockDirectory(outDir, lock) == LockResult::Busy) {
        writeMessage(QObject::tr("output directory %1 is in use by another run\n").arg(outDir));
        return false;
    }
    // Every run that ends removes its frame files, and no other run works
    // here now: any still here were left by one that was cut short, and
    // would be taken for frames of this run.
    removeFrameFiles(QDir(outDir));
    return true;
}
