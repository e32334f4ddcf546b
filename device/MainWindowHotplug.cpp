// What the window does when a watched interface comes or goes.
#include <QLineEdit>
#include <QPushButton>
#include <cstring>

#include "device/DeviceMonitor.h"
#include "device/Hotplug.h"
#include "ui/MainWindow.h"

void MainWindow::watchDevices() {
    deviceMonitor = DeviceMonitor::create(this);
    if (!deviceMonitor)
        return;
    connect(deviceMonitor, &DeviceMonitor::interfaceArrived, this,
            &MainWindow::handleInterfaceArrival);
    connect(deviceMonitor, &DeviceMonitor::interfaceRemoved, this,
            &MainWindow::handleInterfaceRemoval);
}

void MainWindow::handleInterfaceArrival(const QString &interfaceName) {
    if (!hotplug::concernsAccessory(interfaceName))
        return;
    // Another interface coming never takes the window away from the accessory
    // it has open and identified: values typed but not saved stay, and a
    // running job keeps its device. But when the open device is in fact gone
    // (its removal was missed, for instance while udev was not running), the
    // arrival may well be that device back, and it is opened afresh.
    if (hidHandle) {
        if (deviceJobRunning() || channel.stillAttached())
            return;
        qDebug("the open accessory is gone without a removal notice; looking again");
        endSessionForRemoval();
    }
    // During and after an update only the updated accessory is taken, by its
    // own look; an update that fails leaves the arrival for afterwards.
    if (updatedUnit) {
        if (awaitingRestart())
            identifyUpdatedDevice();
        else
            arrivalPending = true;
        return;
    }
    openDevice();
}

void MainWindow::handleInterfaceRemoval(const QString &interfaceName) {
    // Only the open device's own node going away ends the session, whether or
    // not its name is among the watched ones; another accessory's does not.
    if (!hotplug::namesDevice(interfaceName, QString::fromUtf8(devicePath)))
        return;
    endSessionForRemoval();
}

void MainWindow::endSessionForRemoval() {
    stopWorkersForRemoval();
    closeDeviceHandle();
    editPsnId->setText(QString());
    editPin->setText(QString());
    dimFirmwareArrows();
    std::memset(devicePath, 0, sizeof devicePath);
    showConnected(false);
    // versionText keeps the last version read; only the display is cleared.
    showVersion(QString());
    hid_exit();
}
