#pragma once
#include <QObject>

class MainWindow;

// Watches the system for HID interfaces coming and going and forwards them to
// the window's arrival and removal handling.
class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // The monitor for this platform, owned by `window`; null where the
    // window's native events already carry the notifications, or when the
    // platform's device events cannot be received (the program then runs
    // without hot-plug).
    static DeviceMonitor *create(MainWindow *window);
};
