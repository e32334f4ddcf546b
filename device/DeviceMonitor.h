#pragma once
#include <QObject>

class MainWindow;

// Watches the system for HID interfaces coming and going and forwards them to
// the window's arrival and removal handling.
class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // The monitor for this platform, or null where the window's native events
    // already carry the notifications.
    static DeviceMonitor *create(MainWindow *window);
};
