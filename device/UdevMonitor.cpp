#include <QtGlobal>

#ifdef Q_OS_LINUX

#include "device/UdevMonitor.h"

#include <QDebug>
#include <QSocketNotifier>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

namespace {

const char *const kSubsystem = "hidraw";

bool setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

QString devnodeOf(udev_device *device) {
    const char *node = udev_device_get_devnode(device);
    return node ? QString::fromLocal8Bit(node) : QString();
}

} // namespace

UdevMonitor *UdevMonitor::create(QObject *parent) {
    auto *monitor = new UdevMonitor(parent);
    if (!monitor->openEventStream()) {
        qDebug("udev is not available; device hot-plug will not be noticed");
        delete monitor;
        return nullptr;
    }
    // Without the daemon the kernel sends nothing to udev's listeners.
    if (access("/run/udev/control", F_OK) != 0)
        qDebug("udev does not seem to be running; device hot-plug may not be noticed");
    monitor->rememberPresentNodes();
    return monitor;
}

UdevMonitor::UdevMonitor(QObject *parent) : DeviceMonitor(parent) {}

UdevMonitor::~UdevMonitor() {
    // The notifier watches the monitor's socket; it goes before the socket.
    delete notifier_;
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

bool UdevMonitor::openEventStream() {
    udev_ = udev_new();
    if (!udev_)
        return false;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_)
        return false;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, kSubsystem, nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0)
        return false;
    const int fd = udev_monitor_get_fd(monitor_);
    if (fd < 0 || !setNonBlocking(fd))
        return false;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drainEvents(); });
    return true;
}

void UdevMonitor::rememberPresentNodes() {
    udev_enumerate *enumeration = udev_enumerate_new(udev_);
    if (!enumeration)
        return;
    udev_enumerate_add_match_subsystem(enumeration, kSubsystem);
    udev_enumerate_scan_devices(enumeration);
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration)) {
        udev_device *device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
        if (!device)
            continue;
        names_.remember(devnodeOf(device), nameFromParent(device));
        udev_device_unref(device);
    }
    udev_enumerate_unref(enumeration);
}

void UdevMonitor::drainEvents() {
    // A handler may wait for a worker; do not let the notifier re-enter.
    notifier_->setEnabled(false);
    while (udev_device *device = udev_monitor_receive_device(monitor_)) {
        handleEvent(device);
        udev_device_unref(device);
    }
    notifier_->setEnabled(true);
}

void UdevMonitor::handleEvent(udev_device *device) {
    const char *action = udev_device_get_action(device);
    const QString devnode = devnodeOf(device);
    if (!action || devnode.isEmpty())
        return;
    if (std::strcmp(action, "add") == 0) {
        const QString name = nameFromParent(device);
        names_.remember(devnode, name);
        if (!name.isEmpty())
            emit interfaceArrived(name);
    } else if (std::strcmp(action, "remove") == 0) {
        // A node whose name is lost is still the open device if its path is.
        const QString name = names_.takeForRemoval(devnode, nameFromParent(device));
        emit interfaceRemoved(name.isEmpty() ? devnode : name);
    }
}

QString UdevMonitor::nameFromParent(udev_device *device) const {
    udev_device *parent = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
    if (!parent)
        return QString();
    const char *hidId = udev_device_get_property_value(parent, "HID_ID");
    if (!hidId)
        return QString();
    const auto identity = hotplug::parseHidId(QString::fromLatin1(hidId));
    return identity ? hotplug::interfaceName(*identity, devnodeOf(device)) : QString();
}

#endif // Q_OS_LINUX
