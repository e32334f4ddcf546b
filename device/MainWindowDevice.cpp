// The window's device session: shows what the shared accessory code finds,
// opens and identifies (device/DeviceSession.h).
#include <QDebug>
#include <QLineEdit>
#include <QPushButton>
#include <cstring>

#include "common/LogRedaction.h"
#include "device/DeviceSession.h"
#include "device/LockMessages.h"
#include "firmware/WorkerThreadForFW.h"
#include "readback/WorkerThreadForSaveData.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"
#include "ui/ProgressTips.h"

namespace {

const char *const kNotAnswering = "The accessory does not answer: its records could not be "
                                  "read. The next device action will try again.";
const char *const kNotReadPlaceholder = "(not read: the accessory does not answer)";
const char *const kNotAnsweringWarning =
    "The accessory does not answer. Check that it is plugged in properly and try again.";

} // namespace

void MainWindow::openDevice() {
    openDeviceAt(nullptr);
}

void MainWindow::openDeviceAt(const accessory::Attached *unit) {
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
    // The handle stays open when nothing is found; so does its path, so
    // that the removal of its device still closes it.
    char openPath[sizeof devicePath];
    std::memcpy(openPath, devicePath, sizeof devicePath);
    std::memset(devicePath, 0, sizeof devicePath);
    if (unit) {
        // Cut as the discovery cuts a long path; such a path fails to open.
        std::strncpy(devicePath, unit->path.constData(), 256);
        currentPid = unit->productId;
    } else if (const uint16_t productId = accessory::findFirstCandidate(devicePath)) {
        currentPid = productId;
    }
    explainNotConnected(QString());
    if (devicePath[0] == 0) {
        if (hidHandle)
            std::memcpy(devicePath, openPath, sizeof devicePath);
        showConnected(false);
        return;
    }
    qDebug("current pid:%04x", currentPid);
    qDebug("current pid:%02x %02x", currentPid & 0xFF, currentPid >> 8);
    editPsnId->setText(QString());
    editPin->setText(QString());
    hid_device *opened = accessory::open(devicePath);
    channel.replace(opened);
    deviceIdentified = false;
    versionRead = false;
    if (!opened) {
        qDebug().noquote() << accessory::permissionHint();
        explainNotConnected(accessory::permissionHint());
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
    showIdentification(accessory::identify(channel, currentPid));
}

// A record that was not read leaves its field empty with a note in grey, and
// the indicator's tool tip says why, so that an accessory that does not
// answer never looks like one that holds empty records.
void MainWindow::showIdentification(const accessory::Identity &identity) {
    versionRead = identity.version.has_value();
    if (identity.version) {
        versionText = *identity.version;
        showVersion(versionText);
    }
    const QString notRead = QString::fromUtf8(kNotReadPlaceholder);
    if (identity.psnId)
        LogRedaction::notePrivate(LogRedaction::PrivateKind::AccountId, *identity.psnId);
    if (identity.pin)
        LogRedaction::notePrivate(LogRedaction::PrivateKind::Pin, *identity.pin);
    editPsnId->setText(identity.psnId.value_or(QString()));
    editPsnId->setPlaceholderText(identity.psnId ? QString() : notRead);
    editPin->setText(identity.pin.value_or(QString()));
    editPin->setPlaceholderText(identity.pin ? QString() : notRead);
    deviceIdentified = identity.allAnswered;
    btnDeviceConnected->setToolTip(deviceIdentified ? QString() : QString::fromUtf8(kNotAnswering));
    if (!deviceIdentified)
        qDebug() << kNotAnswering;
}

bool MainWindow::identifiedForDeviceAction() {
    if (hidHandle && !deviceIdentified) {
        openDevice();
        // Another program's job holds the accessory; openDevice has said so.
        if (identifyRefused)
            return false;
    }
    return deviceReadyForAction();
}

bool MainWindow::deviceReadyForAction() {
    if (!hidHandle) {
        showWarning(this, QStringLiteral("Not connected device!"));
        return false;
    }
    if (!deviceIdentified) {
        showWarning(this, QString::fromUtf8(kNotAnsweringWarning));
        return false;
    }
    return true;
}

QString MainWindow::accessoryDescription() const {
    if (!hidHandle)
        return QStringLiteral("not connected");
    return QStringLiteral("product %1 at %2, version %3")
        .arg(QStringLiteral("%1").arg(currentPid, 4, 16, QLatin1Char('0')).toUpper(),
             QString::fromLocal8Bit(devicePath),
             versionText.isEmpty() ? QStringLiteral("unknown") : versionText);
}

void MainWindow::showConnected(bool connected) {
    btnDeviceConnected->setVisible(connected);
    btnDeviceNotConnected->setVisible(!connected);
}

ExchangeResult MainWindow::exchange(const DeviceReport &request, DeviceReport *reply,
                                    ReplyWait wait) {
    return channel.exchange(request, reply, wait);
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
    // on the window of a device that is gone. A removal may come before the
    // workers exist (from a box's event loop during construction).
    fwJobStopped = fwJobStopped || (fwWorker && fwWorker->isRunning());
    backupJobStopped = backupJobStopped || (saveDataWorker && saveDataWorker->isRunning());
    // The handle is about to be closed; a worker must not be mid-exchange on
    // it. A waiting worker notices the request within one reply slice.
    stopWorkers(kWorkerStopWaitMs);
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
    if (awaitingRestart()) {
        showWarning(this, QStringLiteral("The accessory is restarting after the firmware update; "
                                         "please wait until it is back."));
        return true;
    }
    if (!deviceJobRunning())
        return false;
    showWarning(this, QStringLiteral("The device is busy with a firmware update or a flash "
                                     "backup; please wait until it has finished."));
    return true;
}

void MainWindow::closeDeviceHandle() {
    channel.close();
    deviceIdentified = false;
}

bool MainWindow::lockDevice() {
    const DeviceLock::Result result = deviceLock.acquire(QString::fromLocal8Bit(devicePath));
    if (result == DeviceLock::Result::Acquired)
        return true;
    showWarning(this, accessory::lockRefusal(result, deviceLock));
    return false;
}

void MainWindow::unlockDevice() {
    deviceLock.release();
}

void MainWindow::endDeviceJob(const QString &failure) {
    unlockDevice();
    progressTips->end();
    if (!failure.isEmpty())
        showWarning(this, failure);
    runDeferredArrival();
}

void MainWindow::runDeferredArrival() {
    // After an update the updated accessory is looked for, not any other.
    if (!arrivalPending || deviceJobRunning() || updatedUnit)
        return;
    arrivalPending = false;
    openDevice();
}
