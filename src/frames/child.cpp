#include "frames.h"

#include <QProcess>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// The children of this run while they run (ffmpeg, and ffprobe beside it on
// a terminal), each by a pidfd: a pidfd names one process for good, so a
// child that has ended and been reaped can never be mistaken for a new
// process given its number. Without pidfds (kernels before 5.3) the number
// itself stands in, -pid. 0 is a free place. Read by a signal handler, so
// lock-free atomics and nothing else.
std::array<std::atomic<int>, 16> runningChildren{};
std::atomic<bool> stopping{false};
static_assert(std::atomic<int>::is_always_lock_free);

// Async-signal-safe.
void killChild(int child)
{
    if (child > 0)
        syscall(SYS_pidfd_send_signal, child, SIGKILL, nullptr, 0);
    else if (child < 0)
        kill(-child, SIGKILL);
}

// False when every place is taken.
bool remember(int child)
{
    for (std::atomic<int> &place : runningChildren) {
        int free = 0;
        if (place.compare_exchange_strong(free, child))
            return true;
    }
    return false;
}

void forget(int child)
{
    for (std::atomic<int> &place : runningChildren) {
        int expected = child;
        if (place.compare_exchange_strong(expected, 0) && child > 0)
            close(child);
    }
}

// Taken the moment the child has started, before anything can reap it
// outside this thread's own waiting.
int childHandle(pid_t pid)
{
    const int fd = int(syscall(SYS_pidfd_open, pid, 0));
    return fd > 0 ? fd : -pid;
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
    const int handle = childHandle(pid);
    // A child that could not be remembered could not be stopped either: it
    // is stopped now, and its run fails as for any killed ffmpeg.
    if (!remember(handle) || stopping.load())
        killChild(handle);
    QObject::connect(&child, &QProcess::stateChanged, [handle](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            forget(handle);
    });
}

void stopChildrenNow()
{
    // Called from a signal handler, which must leave errno as it found it.
    const int savedErrno = errno;
    stopping.store(true);
    for (const std::atomic<int> &place : runningChildren)
        killChild(place.load());
    errno = savedErrno;
}
