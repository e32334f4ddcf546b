#include "device/DeviceLock.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QUrl>

#include "common/RuntimeFolder.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The accessory's device node, opened only to hold the lock on it; -1 when
// the path names no device node this user may open. A link is not followed.
int openDeviceNode(const QString &devicePath) {
    if (!QDir::isAbsolutePath(devicePath))
        return -1;
    const QByteArray path = QFile::encodeName(devicePath);
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !S_ISCHR(info.st_mode))
        return -1;
    return ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
}

// The name of process `pid`, as /proc/PID/comm gives it; empty when unknown.
QString processName(const QByteArray &pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid)));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll().trimmed());
}

// "corvane-cli (process 4242)" for the process that holds the lock on the
// file behind `fd`, where /proc/locks names it; empty otherwise. A line reads
// "1: FLOCK  ADVISORY  WRITE 4242 00:2f:1234 0 EOF" (a waiting lock's has
// "->" after its number).
QString lockHolder(int fd) {
    struct stat info {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (::fstat(fd, &info) != 0 || !locks.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray file = QStringLiteral("%1:%2:%3")
                                .arg(major(info.st_dev), 2, 16, QLatin1Char('0'))
                                .arg(minor(info.st_dev), 2, 16, QLatin1Char('0'))
                                .arg(quint64(info.st_ino))
                                .toLatin1();
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) != "FLOCK" || fields.at(5) != file)
            continue;
        const QByteArray &pid = fields.at(4);
        const QString name = pid.toLongLong() > 0 ? processName(pid) : QString();
        if (!name.isEmpty())
            return QStringLiteral("%1 (process %2)").arg(name, QString::fromLatin1(pid));
    }
    return QString();
}

#endif

} // namespace

DeviceLock::DeviceLock() = default;

DeviceLock::~DeviceLock() {
    depth_ = 1;
    release();
}

QString DeviceLock::lockFilePath(const QString &devicePath, QString *error) {
    const QString folder = privateRuntimeFolder(error);
    if (folder.isEmpty())
        return QString();
    // Percent-encoded, so that every device path gives its own plain file name.
    const QString name = QString::fromLatin1(QUrl::toPercentEncoding(devicePath));
    return QDir(folder).filePath(QStringLiteral("device-%1.lock").arg(name));
}

DeviceLock::Result DeviceLock::fail(const QString &reason) {
    error_ = QStringLiteral("the accessory's lock could not be taken: %1").arg(reason);
    return Result::Failed;
}

DeviceLock::Result DeviceLock::acquire(const QString &devicePath) {
    if (depth_ > 0) {
        ++depth_;
        return Result::Acquired;
    }
    error_.clear();
    holder_.clear();
#ifdef Q_OS_UNIX
    int fd = openDeviceNode(devicePath);
    if (fd < 0) {
        QString folderError;
        const QString path = lockFilePath(devicePath, &folderError);
        if (path.isEmpty())
            return fail(folderError);
        fd = ::open(QFile::encodeName(path).constData(),
                    O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0)
            return fail(QStringLiteral("%1 (%2)").arg(systemError(), path));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        const QString reason = systemError();
        if (busy)
            holder_ = lockHolder(fd);
        ::close(fd);
        return busy ? Result::Busy : fail(reason);
    }
    fd_ = fd;
#else
    QString folderError;
    const QString path = lockFilePath(devicePath, &folderError);
    if (path.isEmpty())
        return fail(folderError);
    auto lockFile = std::make_unique<QLockFile>(path);
    lockFile->setStaleLockTime(0);
    if (!lockFile->tryLock(0))
        return lockFile->error() == QLockFile::LockFailedError ? Result::Busy : fail(path);
    lockFile_ = std::move(lockFile);
#endif
    depth_ = 1;
    return Result::Acquired;
}

QString DeviceLock::busyText() const {
    if (holder_.isEmpty())
        return QStringLiteral("Another program is using the accessory");
    return QStringLiteral("%1 is using the accessory").arg(holder_);
}

void DeviceLock::release() {
    if (depth_ == 0 || --depth_ > 0)
        return;
#ifdef Q_OS_UNIX
    if (fd_ >= 0)
        ::close(fd_); // closing the only descriptor drops the flock
    fd_ = -1;
#endif
    lockFile_.reset();
}
