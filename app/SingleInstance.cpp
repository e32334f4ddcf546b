#include "app/SingleInstance.h"

#ifdef Q_OS_UNIX
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#else
#include <QSharedMemory>
#endif

QString singleInstanceKey() {
    const QString override = qEnvironmentVariable("CORVANE_INSTANCE_KEY");
    return override.isEmpty() ? QStringLiteral("SingleApp") : override;
}

#ifdef Q_OS_UNIX

namespace {

// A lock file of this user: in the user's own runtime directory, which no
// other user can enter, and named with the user id should that directory be
// unavailable and the shared temporary folder serve instead.
QString lockFilePath() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    QString key = singleInstanceKey();
    key.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("%1/corvane-%2-%3.lock").arg(dir, key).arg(::getuid());
}

} // namespace

bool takeSingleInstanceGuard() {
    // An exclusive lock held on an open file for the life of the process. The
    // kernel drops it when the process ends in any way, also when it is
    // killed, so a dead instance never blocks the next start.
    const QByteArray path = QFile::encodeName(lockFilePath());
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
