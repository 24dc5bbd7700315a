#include "app.h"
#include "frames.h"
#include "output.h"

#include <QObject>
#include <QSaveFile>

bool outputFilesWritable(const RunOptions &options)
{
    for (const QString &path : {options.pdfPath, options.htmlPath}) {
        if (path.isEmpty())
            continue;
        // A file made and dropped where the real one will go: whatever
        // keeps it from being written now is found before the walk, with
        // the words a late failure would have.
        QSaveFile probe(path);
        if (!probe.open(QIODevice::WriteOnly)) {
            writeMessage(QObject::tr("failed to write %1: %2\n").arg(path, probe.errorString()));
            return false;
        }
        probe.cancelWriting();
    }
    return true;
}

bool claimOutputDirectory(const QString &outDir, DirectoryLock *lock)
{
    QString failure;
    // Not ffmpeg's failure: ffmpeg is never started then.
    if (!makeOutputDirectory(outDir, &failure)) {
        writeMessage(failure + QLatin1Char('\n'));
        return false;
    }
    switch (lockDirectory(outDir, lock)) {
    case LockResult::Busy:
        writeMessage(QObject::tr("output directory %1 is in use by another run\n").arg(outDir));
        return false;
    case LockResult::NotLockable:
        // Frame files here may be another run's, which cannot be told from
        // one cut short: neither removed nor taken for this run's frames.
        if (!holdsFrameFiles(QDir(outDir)))
            return true;
        writeMessage(QObject::tr("output directory %1 cannot be locked and holds frame files "
                                 "that may belong to another run\n")
                         .arg(outDir));
        return false;
    case LockResult::Locked:
        break;
    }
    // Every run that ends removes its frame files, and no other run works
    // here now: any still here were left by one that was cut short, and
    // would be taken for frames of this run.
    removeFrameFiles(QDir(outDir));
    return true;
}
