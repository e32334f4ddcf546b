#include "device/DeviceMonitor.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX
#include "device/UdevMonitor.h"
#endif

DeviceMonitor *DeviceMonitor::create(QObject *parent) {
#ifdef Q_OS_LINUX
    return UdevMonitor::create(parent);
#else
    Q_UNUSED(parent);
    return nullptr;
#endif
}
