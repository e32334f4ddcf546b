#include "app/SingleInstance.h"

#ifdef Q_OS_UNIX
#include <QDebug>
#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/RuntimeFolder.h"
#else
#include <QSharedMemory>
#endif

QString singleInstanceKey() {
    const QString override = qEnvironmentVariable("CORVANE_INSTANCE_KEY");
    return override.isEmpty() ? QStringLiteral("SingleApp") : override;
}

#ifdef Q_OS_UNIX

bool takeSingleInstanceGuard() {
    // An exclusive lock held on an open file for the life of the process. The
    // kernel drops it when the process ends in any way, also when it is
    // killed, so a dead instance never blocks the next start. The file lies
    // in this user's private runtime folder, so no other user can pre-create
    // it (or a link in its place) and keep the window from starting.
    QString error;
    const QString folder = privateRuntimeFolder(&error);
    if (folder.isEmpty()) {
        // The guard only spares the user a second window; the accessory has
        // its own lock. Without a place for the guard the window still starts.
        qWarning("single-instance guard not taken: %s", qPrintable(error));
        return true;
    }
    QString key = singleInstanceKey();
    key.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QByteArray path =
        QFile::encodeName(QDir(folder).filePath(QStringLiteral("instance-%1.lock").arg(key)));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    return true; // the descriptor stays open, and locked, until the process ends
}

#else

bool takeSingleInstanceGuard() {
    // Held for the life of the process; the segment's existence is the lock.
    static QSharedMemory *const guard = new QSharedMemory(singleInstanceKey());
    return guard->create(1, QSharedMemory::ReadWrite);
}

#endif
