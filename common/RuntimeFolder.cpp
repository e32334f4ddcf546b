#include "common/RuntimeFolder.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QStringList>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString absoluteOrEmpty(const QString &path) {
    return QDir::isAbsolutePath(path) ? QDir::cleanPath(path) : QString();
}

#ifdef Q_OS_UNIX

// A folder that only this user can change: owned by the effective user,
// writable by no one else, not a link. `privateToo` also rules out reading.
QString unsafeBecause(const QByteArray &path, bool privateToo) {
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("it is a symbolic link");
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("it is not a folder");
    if (info.st_uid != ::geteuid())
        return QStringLiteral("it belongs to user %1").arg(info.st_uid);
    if (info.st_mode & (privateToo ? S_IRWXG | S_IRWXO : S_IWGRP | S_IWOTH))
        return QStringLiteral("others may use it (mode %1)").arg(info.st_mode & 0777, 3, 8);
    return QString();
}

// Makes `folder` (mode 0700) unless it exists, and says why it cannot serve.
QString makePrivate(const QString &folder) {
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return QString::fromLocal8Bit(std::strerror(errno));
    return unsafeBecause(path, true);
}

struct Candidate {
    QString folder;
    QString parent; // made (mode 0700) only when the folder is tried
};

bool ownedByMe(const QString &folder) {
    struct stat info {};
    return ::stat(QFile::encodeName(folder).constData(), &info) == 0 && info.st_uid == ::geteuid();
}

std::vector<Candidate> candidates(QStringList *problems) {
    std::vector<Candidate> folders;
    const QString runtime = absoluteOrEmpty(qEnvironmentVariable("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty()) {
        const QByteArray base = QFile::encodeName(runtime);
        ::mkdir(base.constData(), 0700); // named but missing: made as the session would
        const QString unsafe = unsafeBecause(base, false);
        if (unsafe.isEmpty())
            folders.push_back({runtime + QStringLiteral("/corvane"), QString()});
        else
            *problems << QStringLiteral("%1: %2").arg(runtime, unsafe);
    }
    QString temp = absoluteOrEmpty(QDir::tempPath());
    if (temp.isEmpty())
        temp = QStringLiteral("/tmp");
    folders.push_back({QStringLiteral("%1/corvane-%2").arg(temp).arg(::geteuid()), QString()});
    // Never in a home of another user (as sudo -E leaves HOME): nothing of
    // this user's may appear there.
    const QString home = absoluteOrEmpty(qEnvironmentVariable("HOME"));
    if (!home.isEmpty() && ownedByMe(home))
        folders.push_back(
            {home + QStringLiteral("/.cache/corvane-locks"), home + QStringLiteral("/.cache")});
    return folders;
}

#endif

} // namespace

QString privateRuntimeFolder(QString *error) {
#ifdef Q_OS_UNIX
    QStringList problems;
    for (const Candidate &candidate : candidates(&problems)) {
        if (!candidate.parent.isEmpty())
            ::mkdir(QFile::encodeName(candidate.parent).constData(), 0700);
        const QString unsafe = makePrivate(candidate.folder);
        if (unsafe.isEmpty())
            return candidate.folder;
        problems << QStringLiteral("%1: %2").arg(candidate.folder, unsafe);
    }
    *error = QStringLiteral("no private folder for the lock files could be made (%1)")
                 .arg(problems.join(QStringLiteral("; ")));
    return QString();
#else
    // The per-user local application data folder; other users cannot write it.
    QString folder =
        absoluteOrEmpty(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
    if (folder.isEmpty())
        folder = absoluteOrEmpty(QDir::tempPath());
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        *error = QStringLiteral("no folder for the lock files could be made");
        return QString();
    }
    return folder;
#endif
}
