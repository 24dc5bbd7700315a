#include "frames.h"

#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool makeOutputDirectory(const QString &outDir, QString *failure)
{
    QDir dir(outDir);
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        *failure = QObject::tr("Failed to create output directory: %1").arg(outDir);
        return false;
    }
    return true;
}

DirectoryLock::DirectoryLock(DirectoryLock &&other) noexcept : fd(other.fd)
{
    other.fd = -1;
}

DirectoryLock::~DirectoryLock()
{
    if (fd >= 0)
        close(fd); // releases the lock
}

LockResult lockDirectory(const QString &dir, DirectoryLock *lock)
{
    // Close-on-exec: an ffmpeg left running must not hold the lock.
    const int fd = open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A directory that cannot be opened for reading cannot be locked either;
    // the run goes on as runs did before there were locks.
    if (fd < 0)
        return LockResult::NotLockable;
    int result;
    do
        result = flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool busy = errno == EWOULDBLOCK;
        close(fd);
        return busy ? LockResult::Busy : LockResult::NotLockable;
    }
    lock->fd = fd;
    return LockResult::Locked;
}

bool isFrameFileName(const QString &name)
{
    // What "%06d" makes: six digits, or more without a leading zero.
    static const QRegularExpression frameName(
        QStringLiteral("\\Aframe_([0-9]{6}|[1-9][0-9]{6,})\\.png\\z"));
    return frameName.match(name).hasMatch();
}

void removeFrameFiles(const QDir &outDir)
{
    const QStringList names =
        outDir.entryList({QStringLiteral("frame_*.png")}, QDir::Files | QDir::System);
    for (const QString &name : names)
        if (isFrameFileName(name))
            QFile::remove(outDir.filePath(name));
}

bool holdsFrameFiles(const QDir &outDir)
{
    const QStringList names =
        outDir.entryList({QStringLiteral("frame_*.png")}, QDir::Files | QDir::System);
    // A folder that cannot be read lists nothing, but the first frame file
    // ffmpeg writes can still be looked for by name.
    return std::any_of(names.begin(), names.end(), isFrameFileName) ||
           QFileInfo::exists(outDir.filePath(QStringLiteral("frame_000001.png")));
}
