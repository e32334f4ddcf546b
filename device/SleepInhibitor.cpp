#include "device/SleepInhibitor.h"

#include <QDebug>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

void logNotBlocked(const QString &why) {
    qDebug().noquote() << QStringLiteral("Sleep and shutdown are not blocked (%1); the job goes "
                                         "on.")
                              .arg(why);
}

#ifndef Q_OS_WIN
// logind answers at once; a bus that does not must not hold up the job.
constexpr int kInhibitCallMs = 3000;

// The inhibitor's file descriptor, kept beyond the reply (which closes its
// own); -1 when none was given.
int takeLogindInhibitor(const QString &what) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        logNotBlocked(QStringLiteral("no system bus: ") + bus.lastError().message());
        return -1;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:shutdown") << QStringLiteral("Corvane") << what
         << QStringLiteral("block");
    const QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(call, QDBus::Block, kInhibitCallMs);
    if (!reply.isValid()) {
        logNotBlocked(reply.error().name() + QStringLiteral(": ") + reply.error().message());
        return -1;
    }
    const int fd =
        reply.value().isValid() ? fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0)
        logNotBlocked(QStringLiteral("logind gave no file descriptor"));
    return fd;
}
#endif

} // namespace

SleepInhibitor::SleepInhibitor(const QString &what) {
#ifdef Q_OS_WIN
    // Per thread: the job's own thread holds it and gives it back.
    held_ = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
    if (!held_)
        logNotBlocked(QStringLiteral("SetThreadExecutionState failed"));
#else
    fd_ = takeLogindInhibitor(what);
    held_ = fd_ >= 0;
#endif
    if (held_)
        qDebug().noquote() << QStringLiteral("Sleep and shutdown are blocked: %1").arg(what);
}

SleepInhibitor::~SleepInhibitor() {
    if (!held_)
        return;
#ifdef Q_OS_WIN
    SetThreadExecutionState(ES_CONTINUOUS);
#else
    ::close(fd_);
#endif
    qDebug("Sleep and shutdown are allowed again");
}
