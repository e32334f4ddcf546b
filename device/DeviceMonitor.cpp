#include "device/DeviceMonitor.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX
#include "device/UdevMonitor.h"
#endif

DeviceMonitor *DeviceMonitor::create(MainWindow *window) {
#ifdef Q_OS_LINUX
    return UdevMonitor::create(window);
#else
    Q_UNUSED(window);
    return nullptr;
#endif
}
