#include "common/PrivateFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

const char *const kWanted = "only a regular file or a new name is written";

#ifdef Q_OS_UNIX

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
QString stickyRefusal(const QByteArray &folder, const struct stat &file) {
    struct stat folderStat {};
    const uid_t me = ::geteuid();
    if (me == 0 || ::stat(folder.constData(), &folderStat) != 0 || !(folderStat.st_mode & S_ISVTX))
        return QString();
    if (file.st_uid == me || folderStat.st_uid == me)
        return QString();
    return QStringLiteral("it belongs to another user and its folder is sticky (as /tmp is), so "
                          "it cannot be replaced");
}

QString refusal(const QString &path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat own {};
    if (::lstat(name.constData(), &own) != 0)
        return QString(); // a new name; whether its folder takes it, the open tells
    if (S_ISLNK(own.st_mode)) {
        struct stat target {};
        const QString pointsTo = ::stat(name.constData(), &target) == 0
                                     ? kindOf(target.st_mode)
                                     : QStringLiteral("a missing file");
        return QStringLiteral("it is a symbolic link (to %1), and links are not followed; name "
                              "the file itself")
            .arg(pointsTo);
    }
    if (!S_ISREG(own.st_mode))
        return QStringLiteral("it is %1; %2").arg(kindOf(own.st_mode), QLatin1String(kWanted));
    return stickyRefusal(QFile::encodeName(QFileInfo(path).absolutePath()), own);
}

#else

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

#endif

} // namespace

QString privateFileRefusal(const QString &path) {
    if (path.isEmpty())
        return QStringLiteral("no file name was given");
    return refusal(path);
}

bool openPrivately(QSaveFile &file, QString *error, QIODevice::OpenMode mode) {
    const QString refused = privateFileRefusal(file.fileName());
    if (!refused.isEmpty()) {
        *error = refused;
        return false;
    }
    if (!file.open(mode)) {
        *error = file.errorString();
        return false;
    }
    // Applies to the temporary file, before anything is written into it; the
    // commit renames it over the target with this mode, whatever mode an
    // earlier file of that name had.
    if (!file.setPermissions(kOwnerOnly)) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

bool canWritePrivately(const QString &path, QString *reason) {
    QSaveFile probe(path);
    if (!openPrivately(probe, reason))
        return false;
    probe.cancelWriting();
    return true;
}
