#pragma once
#include <QObject>
#include <QString>

// Watches the system for HID interfaces coming and going and announces them by
// the interface names the hot-plug checks take.
class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // The monitor for this platform, owned by `parent`; null where the
    // window's native events already carry the notifications, or when the
    // platform's device events cannot be received (the program then runs
    // without hot-plug).
    static DeviceMonitor *create(QObject *parent);

signals:
    void interfaceArrived(const QString &interfaceName);
    void interfaceRemoved(const QString &interfaceName);
};
