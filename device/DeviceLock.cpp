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
