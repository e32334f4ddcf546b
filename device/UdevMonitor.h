#pragma once
// Linux hot-plug: hidraw nodes coming and going, as udev announces them.

#include "device/DeviceMonitor.h"
#include "device/Hotplug.h"

class QSocketNotifier;
struct udev;
struct udev_device;
struct udev_monitor;

class UdevMonitor : public DeviceMonitor {
public:
    // A monitor owned by `parent`, or null (logged) when udev's event stream
    // cannot be opened, as in a container without udev.
    static UdevMonitor *create(QObject *parent);
    ~UdevMonitor() override;

private:
    explicit UdevMonitor(QObject *parent);
    bool openEventStream();
    void rememberPresentNodes();
    void drainEvents();
    void handleEvent(udev_device *device);
    QString nameFromParent(udev_device *device) const;

    udev *udev_ = nullptr;
    udev_monitor *monitor_ = nullptr;
    QSocketNotifier *notifier_ = nullptr;
    hotplug::HidrawNames names_;
};
