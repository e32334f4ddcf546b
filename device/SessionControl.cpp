// The window's device session: shows what the shared accessory code finds,
// opens and identifies (device/DeviceSession.h).
#include <QDebug>
#include <QLineEdit>
#include <QPushButton>
#include <cstring>

#include "device/DeviceSession.h"
#include "firmware/WorkerThreadForFW.h"
#include "readback/WorkerThreadForSaveData.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"

void MainWindow::openDevice() {
    identifyRefused = false;
    if (deviceJobRunning()) {
        // Never re-identify under a running transfer; do it when it ends.
        arrivalPending = true;
        return;
    }
    if (hid_init() == -1) {
        qDebug("hid_init() fail");
        channel.close();
        return;
    }
    std::memset(devicePath, 0, sizeof devicePath);
    if (const uint16_t productId = accessory::findFirstCandidate(devicePath))
        currentPid = productId;
    explainNotConnected(QString());
    if (devicePath[0] == 0) {
        showConnected(false);
        return;
    }
    qDebug("current pid:%04x", currentPid);
    qDebug("current pid:%02x %02x", currentPid & 0xFF, currentPid >> 8);
    editPsnId->setText(QString());
    editPin->setText(QString());
    hid_device *opened = accessory::open(devicePath);
    channel.replace(opened);
    if (!opened) {
        qDebug() << accessory::kPermissionHint;
        explainNotConnected(QString::fromUtf8(accessory::kPermissionHint));
        showConnected(false);
        return;
    }
    showConnected(true);
    identifyRefused = !lockDevice();
    if (identifyRefused)
        return;
    readDeviceRecords();
    unlockDevice();
}

void MainWindow::readDeviceRecords() {
    const accessory::Identity identity = accessory::identify(channel, currentPid);
    if (identity.version) {
        versionText = *identity.version;
        showVersion(versionText);
    }
    if (identity.psnId)
        editPsnId->setText(*identity.psnId);
    if (identity.pin)
        editPin->setText(*identity.pin);
}

void MainWindow::showConnected(bool connected) {
    btnDeviceConnected->setVisible(connected);
    btnDeviceNotConnected->setVisible(!connected);
}

ExchangeResult MainWindow::exchange(const DeviceReport &request, DeviceReport *reply) {
    return channel.exchange(request, reply);
}

void MainWindow::stopWorkers(unsigned long waitMs) {
    for (QThread *worker :
         {static_cast<QThread *>(fwWorker), static_cast<QThread *>(saveDataWorker)}) {
        if (worker && worker->isRunning()) {
            worker->requestInterruption();
            worker->wait(waitMs);
        }
    }
}

void MainWindow::stopWorkersForRemoval() {
    // Steps the stopped jobs queued before they ended must not light arrows
    // on the window of a device that is gone.
    fwJobStopped = fwJobStopped || fwWorker->isRunning();
    backupJobStopped = backupJobStopped || saveDataWorker->isRunning();
    // The handle is about to be closed; a worker must not be mid-exchange on
    // it. The wait is bounded by one exchange, since that is the longest a
    // worker can take to notice the request.
    stopWorkers(kReplyTimeoutMs + 1000);
}

bool MainWindow::isStepOfStoppedJob() const {
    const QObject *from = sender();
    return from &&
           ((from == fwWorker && fwJobStopped) || (from == saveDataWorker && backupJobStopped));
}

bool MainWindow::deviceJobRunning() const {
    return (fwWorker && fwWorker->isRunning()) || (saveDataWorker && saveDataWorker->isRunning());
}

bool MainWindow::refuseWhileDeviceBusy() {
    if (!deviceJobRunning())
        return false;
    showWarning(this, QStringLiteral("The device is busy with a firmware update or a flash "
                                     "backup; please wait until it has finished."));
    return true;
}

void MainWindow::closeDeviceHandle() {
    channel.close();
}

bool MainWindow::lockDevice() {
    if (deviceLock.acquire(QString::fromLocal8Bit(devicePath)) == DeviceLock::Result::Acquired)
        return true;
    showWarning(this, QStringLiteral("Another program is using the accessory; try again when it "
                                     "has finished."));
    return false;
}

void MainWindow::unlockDevice() {
    deviceLock.release();
}

void MainWindow::runDeferredArrival() {
    if (!arrivalPending || deviceJobRunning())
        return;
    arrivalPending = false;
    openDevice();
}
