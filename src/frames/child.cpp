#include "frames.h"

#include <QProcess>

#include <array>
#include <atomic>
#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

namespace
{

// The children of this run while they run (ffmpeg, and ffprobe beside it on
// a terminal), 0 in a free place. Read by a signal handler, so lock-free
// atomics and nothing else.
std::array<std::atomic<pid_t>, 4> runningPids{};
std::atomic<bool> stopping{false};
static_assert(std::atomic<pid_t>::is_always_lock_free);

void remember(pid_t pid)
{
    for (std::atomic<pid_t> &place : runningPids) {
        pid_t free = 0;
        if (place.compare_exchange_strong(free, pid))
            return;
    }
}

void forget(pid_t pid)
{
    for (std::atomic<pid_t> &place : runningPids) {
        pid_t expected = pid;
        place.compare_exchange_strong(expected, 0);
    }
}

} // namespace

void startChild(QProcess &child, void (*childSetup)(), QIODeviceBase::OpenMode mode)
{
    const pid_t parent = getpid();
    // Runs in the child between fork and exec: only async-signal-safe calls.
    child.setChildProcessModifier([parent, childSetup] {
        // Killed with this process however it ends, even by SIGKILL. A parent
        // that died before this line is no longer the child's parent.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        if (childSetup)
            childSetup();
    });
    child.start(mode);
    const pid_t pid = pid_t(child.processId());
    if (pid <= 0)
        return;
    remember(pid);
    // A stop asked for while the child was being started found nothing to kill.
    if (stopping.load())
        kill(pid, SIGKILL);
    // Forgotten the moment the child has been waited for: its number may be
    // given to another process from then on.
    QObject::connect(&child, &QProcess::stateChanged, [pid](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            forget(pid);
    });
}

void stopChildrenNow()
{
    stopping.store(true);
    for (const std::atomic<pid_t> &place : runningPids) {
        const pid_t pid = place.load();
        if (pid > 0)
            kill(pid, SIGKILL);
    }
}
