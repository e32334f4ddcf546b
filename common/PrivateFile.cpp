#include "common/PrivateFile.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace {

const char *const kWanted = "only a regular file or a new name is written";

#ifdef Q_OS_UNIX

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindOf(mode_t mode) {
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO (named pipe)");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device node");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device node");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link");
    if (S_ISREG(mode))
        return QStringLiteral("a regular file");
    return QStringLiteral("not a regular file");
}

// The rename that ends an atomic write fails in a sticky folder (such as
// /tmp) over a file that neither the user nor the folder's owner owns; said
// before the work, not after it.
QString stickyRefusal(int folder, const struct stat &file) {
    struct stat folderStat {};
    const uid_t me = ::geteuid();
    if (me == 0 || ::fstat(folder, &folderStat) != 0 || !(folderStat.st_mode & S_ISVTX))
        return QString();
    if (file.st_uid == me || folderStat.st_uid == me)
        return QString();
    return QStringLiteral("it belongs to another user and its folder is sticky (as /tmp is), so "
                          "it cannot be replaced");
}

QString refusalAt(int folder, const QByteArray &name) {
    struct stat own {};
    if (::fstatat(folder, name.constData(), &own, AT_SYMLINK_NOFOLLOW) != 0)
        return QString(); // a new name; whether its folder takes it, the open tells
    if (S_ISLNK(own.st_mode)) {
        struct stat target {};
        const QString pointsTo = ::fstatat(folder, name.constData(), &target, 0) == 0
                                     ? kindOf(target.st_mode)
                                     : QStringLiteral("a missing file");
        return QStringLiteral("it is a symbolic link (to %1), and links are not followed; name "
                              "the file itself")
            .arg(pointsTo);
    }
    if (!S_ISREG(own.st_mode))
        return QStringLiteral("it is %1; %2").arg(kindOf(own.st_mode), QLatin1String(kWanted));
    return stickyRefusal(folder, own);
}

// The folder of `path`, opened for work relative to it (links on the way are
// followed), and the name in it; "." stands for a name that ends in a slash.
int openFolder(const QString &path, QByteArray *name) {
    const QFileInfo info(path);
    *name = QFile::encodeName(info.fileName());
    if (name->isEmpty())
        *name = ".";
#ifdef O_PATH
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    return ::open(QFile::encodeName(info.absolutePath()).constData(), flags);
}

QByteArray temporaryName(const QByteArray &name) {
    const quint64 tag = QRandomGenerator::system()->generate64();
    return '.' + name.left(200) + '.' + QByteArray::number(tag, 36) + ".part";
}

#endif

} // namespace

#ifdef Q_OS_UNIX

struct PrivateFile::Parts {
    int folder = -1;
    int file = -1;
    QByteArray name;
    QByteArray temporary; // empty while the file has no name (O_TMPFILE)

    ~Parts() {
        if (file >= 0)
            ::close(file);
        if (!temporary.isEmpty())
            ::unlinkat(folder, temporary.constData(), 0);
        if (folder >= 0)
            ::close(folder);
    }

    // An unnamed file in the folder where the system has them, else a new
    // name no one else can have taken.
    int createTemporary() {
#ifdef O_TMPFILE
        file = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (file >= 0)
            return 0;
#endif
        for (int attempt = 0; attempt < 16; ++attempt) {
            temporary = temporaryName(name);
            file = ::openat(folder, temporary.constData(),
                            O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (file >= 0)
                return 0;
            if (errno != EEXIST)
                break;
        }
        const int error = errno;
        temporary.clear();
        return error;
    }

    // Gives an unnamed file a name in the folder; 0 or the error.
    int nameTemporary() {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(file);
        for (int attempt = 0; attempt < 16; ++attempt) {
            const QByteArray candidate = temporaryName(name);
            int linked = ::linkat(AT_FDCWD, self.constData(), folder, candidate.constData(),
                                  AT_SYMLINK_FOLLOW);
            if (linked != 0 && errno == ENOENT) // no /proc: allowed to the privileged only
                linked = ::linkat(file, "", folder, candidate.constData(), AT_EMPTY_PATH);
            if (linked == 0) {
                temporary = candidate;
                return 0;
            }
            if (errno != EEXIST)
                return errno;
        }
        return EEXIST;
    }

    int commit() {
        if (::fsync(file) != 0)
            return errno;
        if (temporary.isEmpty()) {
            if (const int error = nameTemporary())
                return error;
        }
        if (::renameat(folder, temporary.constData(), folder, name.constData()) != 0)
            return errno;
        temporary.clear();
        const int closed = ::close(file);
        file = -1;
        return closed == 0 ? 0 : errno;
    }
};

QString privateFileRefusal(const QString &path) {
    if (path.isEmpty())
        return QStringLiteral("no file name was given");
    QByteArray name;
    const int folder = openFolder(path, &name);
    if (folder < 0)
        return QString(); // the open says why
    const QString refused = refusalAt(folder, name);
    ::close(folder);
    return refused;
}

bool PrivateFile::open(QString *error) {
    cancel();
    if (path_.isEmpty()) {
        *error = error_ = QStringLiteral("no file name was given");
        return false;
    }
    auto parts = std::make_unique<Parts>();
    parts->folder = openFolder(path_, &parts->name);
    if (parts->folder < 0) {
        *error = error_ = systemError(errno);
        return false;
    }
    error_ = refusalAt(parts->folder, parts->name);
    if (error_.isEmpty()) {
        if (const int failed = parts->createTemporary())
            error_ = systemError(failed);
        else if (::fchmod(parts->file, 0600) != 0) // whatever the umask left
            error_ = systemError(errno);
    }
    if (!error_.isEmpty()) {
        *error = error_;
        return false;
    }
    parts_ = std::move(parts);
    return true;
}

bool PrivateFile::write(const QByteArray &bytes) {
    if (!parts_) {
        error_ = QStringLiteral("the file is not open");
        return false;
    }
    const char *next = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(parts_->file, next, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            error_ = systemError(written < 0 ? errno : ENOSPC);
            return false;
        }
        next += written;
        left -= written;
    }
    return true;
}

bool PrivateFile::commit() {
    if (!parts_) {
        error_ = QStringLiteral("the file is not open");
        return false;
    }
    const int failed = parts_->commit();
    if (failed)
        error_ = systemError(failed);
    parts_.reset();
    return failed == 0;
}

#else

struct PrivateFile::Parts {
    QSaveFile file;
};

namespace {

QString refusal(const QString &path) {
    const QFileInfo info(path);
    if (info.isSymLink())
        return QStringLiteral("it is a symbolic link, and links are not followed; name the file "
                              "itself");
    if (info.isDir())
        return QStringLiteral("it is a folder; %1").arg(QLatin1String(kWanted));
    if (info.exists() && !info.isFile())
        return QStringLiteral("it is not a regular file; %1").arg(QLatin1String(kWanted));
    return QString();
}

} // namespace

QString privateFileRefusal(const QString &path) {
    if (path.isEmpty())
        return QStringLiteral("no file name was given");
    return refusal(path);
}

bool PrivateFile::open(QString *error) {
    cancel();
    error_ = privateFileRefusal(path_);
    auto parts = std::make_unique<Parts>();
    parts->file.setFileName(path_);
    if (error_.isEmpty() && !parts->file.open(QIODevice::WriteOnly))
        error_ = parts->file.errorString();
    if (error_.isEmpty() &&
        !parts->file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        error_ = parts->file.errorString();
    if (!error_.isEmpty()) {
        *error = error_;
        return false;
    }
    parts_ = std::move(parts);
    return true;
}

bool PrivateFile::write(const QByteArray &bytes) {
    if (parts_ && parts_->file.write(bytes) == bytes.size())
        return true;
    error_ = parts_ ? parts_->file.errorString() : QStringLiteral("the file is not open");
    return false;
}

bool PrivateFile::commit() {
    const bool committed = parts_ && parts_->file.commit();
    if (!committed)
        error_ = parts_ ? parts_->file.errorString() : QStringLiteral("the file is not open");
    parts_.reset();
    return committed;
}

#endif

PrivateFile::PrivateFile(QString path) : path_(std::move(path)) {}

PrivateFile::~PrivateFile() = default;

bool PrivateFile::isOpen() const {
    return parts_ != nullptr;
}

void PrivateFile::cancel() {
    parts_.reset();
}

QString PrivateFile::fileName() const {
    return path_;
}

QString PrivateFile::errorString() const {
    return error_;
}

bool canWritePrivately(const QString &path, QString *reason) {
    PrivateFile probe(path);
    return probe.open(reason);
}
