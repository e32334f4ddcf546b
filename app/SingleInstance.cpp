#include "app/SingleInstance.h"

#include <QSharedMemory>

QString singleInstanceKey() {
    const QString override = qEnvironmentVariable("CORVANE_INSTANCE_KEY");
    return override.isEmpty() ? QStringLiteral("SingleApp") : override;
}

bool takeSingleInstanceGuard() {
    // Held for the life of the process; the segment's existence is the lock.
    static QSharedMemory *const guard = new QSharedMemory(singleInstanceKey());
#ifdef Q_OS_UNIX
    // A System V segment outlives an owner killed by a signal. Attaching and
    // detaching again removes such an orphan: the segment is destroyed when the
    // last process detaches. A live owner stays attached, so its segment
    // survives; Qt serializes attach, detach and create under one system
    // semaphore, so this cannot slip between another start's create and attach.
    if (guard->attach())
        guard->detach();
#endif
    return guard->create(1, QSharedMemory::ReadWrite);
}
