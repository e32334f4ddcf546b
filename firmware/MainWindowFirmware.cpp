// The window's firmware update: choosing the image, starting the transfer,
// showing its progress and telling the user how it ended.
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "firmware/WorkerThreadForFW.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"
#include "ui/ProgressTips.h"
#include "ui/StyleSheets.h"

namespace {

constexpr int kFirstStep = 1;
constexpr int kFinalStep = 6;

} // namespace

void MainWindow::slotPushButtonLoadFW() {
    // A running transfer keeps the image it was started with.
    if (refuseWhileDeviceBusy())
        return;
    // Assigned even when cancelled: cancelling clears the earlier choice.
    firmwarePath = QFileDialog::getOpenFileName(this, QStringLiteral("select bin file"),
                                                QStringLiteral("./"), QStringLiteral("*.bin"));
    if (!firmwarePath.isEmpty())
        dimFirmwareArrows();
    showChosenFirmware();
}

void MainWindow::showChosenFirmware() {
    if (firmwarePath.isEmpty()) {
        btnRun->setToolTip(QStringLiteral("Run"));
        return;
    }
    const QFileInfo image(firmwarePath);
    const QString chosen = QStringLiteral("%1, %2 bytes").arg(image.fileName()).arg(image.size());
    btnRun->setToolTip(QStringLiteral("Run: ") + chosen);
    qDebug("firmware file: %s", qUtf8Printable(chosen));
}

void MainWindow::slotPushButtonRunUpdateFW() {
    qDebug() << "WorkerThread run: threadId: " << QThread::currentThreadId();
    if (refuseWhileDeviceBusy())
        return;
    if (firmwarePath.isEmpty()) {
        showWarning(this, QStringLiteral("Please load firmware file first !"));
        return;
    }
    // Refused before anything is sent; the worker reads the image again itself.
    QByteArray image;
    const QString problem = WorkerThreadForFW::loadImage(firmwarePath, image);
    if (!problem.isEmpty()) {
        showWarning(this, problem);
        return;
    }
    openDevice();
    // Another program's job holds the accessory; openDevice has said so.
    if (identifyRefused || !confirmUpdateOfDevice())
        return;
    // Held for the whole transfer; onFirmwareWorkerFinished gives it back.
    if (!lockDevice())
        return;
    dimFirmwareArrows();
    versionBeforeUpdate = versionRead ? versionText : QString();
    updatedUnit = accessory::attachedAt(QByteArray(devicePath));
    fwJobStopped = false;
    fwWorker->iLoopTemp = 0;
    fwWorker->start(QThread::InheritPriority);
    readOutProgress(QStringLiteral("Updating firmware"), blockCounter(fwWorker), fwProgress);
}

void MainWindow::slotShowRunUpdateFWProcess(int step) {
    qDebug("Enter slotUpdateRuningFW");
    if (step < kFirstStep || step > kFinalStep || isStepOfStoppedJob())
        return;
    fwArrows[step - 1]->setStyleSheet(QString::fromUtf8(styles::kArrowLit));
    if (step != kFinalStep)
        return;
    QMessageBox::information(this, QStringLiteral("Success"),
                             QStringLiteral("Download firmware successfully!"), QMessageBox::Ok,
                             QMessageBox::NoButton);
    // The worker emits the final step as its last act, so this wait is short.
    // Identifying the device afresh shows the version, account ID and PIN of
    // the updated firmware.
    fwWorker->wait(kWorkerStopWaitMs);
    awaitUpdatedDevice();
}

// A half-updated accessory (or one in a boot mode) may take firmware blocks
// and answer no record read; an update is its only repair, so it is offered.
bool MainWindow::confirmUpdateOfDevice() {
    if (!hidHandle) {
        showWarning(this, QStringLiteral("Not connected device!"));
        return false;
    }
    if (deviceIdentified)
        return true;
    const QString text = QString::fromUtf8(accessory::kUnidentifiedBeforeUpdate) +
                         QStringLiteral(" Update it anyway?");
    return QMessageBox::question(this, QStringLiteral("Warning"), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

bool MainWindow::awaitingRestart() const {
    return restartPoll && restartPoll->isActive();
}

void MainWindow::awaitUpdatedDevice() {
    // The version shown so far is the old firmware's.
    versionText.clear();
    showVersion(QString());
    if (!updatedUnit) {
        endRestartWait(QStringLiteral("the accessory could not be told apart from others"));
        return;
    }
    unitReturn.emplace(*updatedUnit);
    if (identifyUpdatedDevice())
        return;
    if (!restartPoll) {
        restartPoll = new QTimer(this);
        restartPoll->setInterval(accessory::UnitReturn::kPollMs);
        connect(restartPoll, &QTimer::timeout, this, [this] { identifyUpdatedDevice(); });
    }
    restartPoll->start();
}

bool MainWindow::identifyUpdatedDevice() {
    if (!updatedUnit || !unitReturn)
        return true;
    // No second look from inside a box this one shows (another program's lock).
    const bool polling = awaitingRestart();
    if (polling)
        restartPoll->stop();
    if (const std::optional<accessory::Attached> found = unitReturn->look()) {
        openDeviceAt(&*found);
        if (identifyRefused) {
            endRestartWait(QStringLiteral("another program is using the accessory"));
            return true;
        }
        // Opening may fail for a moment while the system sets up the new node.
        if (hidHandle) {
            endRestartWait(versionRead ? QString()
                                       : QStringLiteral("the accessory does not answer"));
            return true;
        }
    }
    if (!unitReturn->overdue()) {
        if (polling)
            restartPoll->start();
        return false;
    }
    // Whatever handle is left belongs to the accessory before its restart.
    if (hidHandle) {
        closeDeviceHandle();
        showConnected(false);
    }
    explainNotConnected(QStringLiteral("The accessory did not come back after the firmware update. "
                                       "Unplug it and plug it in again."));
    endRestartWait(QStringLiteral("the accessory did not come back after the update"));
    return true;
}

void MainWindow::endRestartWait(const QString &notRead) {
    if (restartPoll)
        restartPoll->stop();
    updatedUnit.reset();
    arrivalPending = false;
    noteVersionChange(versionBeforeUpdate, notRead);
}

void MainWindow::noteVersionChange(const QString &before, const QString &notRead) {
    QString change;
    if (!notRead.isEmpty() || !hidHandle || !versionRead)
        change = QStringLiteral("version not read, ") +
                 (notRead.isEmpty() ? QStringLiteral("the device is not connected") : notRead);
    else if (before.isEmpty())
        change = QStringLiteral("version now ") + versionText +
                 QStringLiteral(" (not read before the update)");
    else if (versionText == before)
        change = QStringLiteral("unchanged");
    else
        change = before + QStringLiteral(" → ") + versionText;
    const QString note = QStringLiteral("Firmware update: ") + change;
    qDebug().noquote() << note;
    btnVersion->setToolTip(btnVersion->accessibleName() + QLatin1Char('\n') + note);
    btnVersion->setAccessibleDescription(note);
}

// Runs on the GUI thread once the worker thread has ended; when the transfer
// succeeded this may run inside the success box's event loop, which is fine:
// it only reads the finished worker's result and handles a deferred arrival.
void MainWindow::onFirmwareWorkerFinished() {
    unlockDevice();
    progressTips->end();
    const QString failure = firmware::failureText(fwWorker->result());
    if (fwWorker->result().outcome != firmware::Outcome::Succeeded)
        updatedUnit.reset(); // no restart to wait for
    if (!failure.isEmpty())
        showWarning(this, failure);
    runDeferredArrival();
}
