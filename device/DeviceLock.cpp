#include "device/DeviceLock.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

QString runtimeDir() {
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty())
        return xdg;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

} // namespace

DeviceLock::DeviceLock() = default;

DeviceLock::~DeviceLock() {
    depth_ = 1;
    release();
}

QString DeviceLock::lockFilePath(const QString &devicePath) {
    // Percent-encoded, so that every device path gives its own plain file name.
    const QString name = QString::fromLatin1(QUrl::toPercentEncoding(devicePath));
    return QDir(runtimeDir()).filePath(QStringLiteral("corvane-%1.lock").arg(name));
}

DeviceLock::Result DeviceLock::acquire(const QString &devicePath) {
    if (depth_ > 0) {
        ++depth_;
        return Result::Acquired;
    }
    const QString path = lockFilePath(devicePath);
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        qDebug() << "device lock unavailable:" << path << strerror(errno);
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return Result::Busy;
    } else {
        fd_ = fd;
    }
#else
    auto lockFile = std::make_unique<QLockFile>(path);
    lockFile->setStaleLockTime(0);
    if (lockFile->tryLock(0))
        lockFile_ = std::move(lockFile);
    else if (lockFile->error() == QLockFile::LockFailedError)
        return Result::Busy;
    else
        qDebug() << "device lock unavailable:" << path;
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
