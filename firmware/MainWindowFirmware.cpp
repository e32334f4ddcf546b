// The window's firmware update: choosing the image, starting the transfer,
// showing its progress and telling the user how it ended.
#include <QDebug>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "device/PowerSupply.h"
#include "firmware/ImageCheck.h"
#include "firmware/WorkerThreadForFW.h"
#include "ui/Accessibility.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"
#include "ui/ProgressTips.h"
#include "ui/StyleSheets.h"

namespace {

constexpr int kFirstStep = 1;
constexpr int kFinalStep = 6;

// A "Warning" with Yes and No, No the default: going on is the user's choice.
// The warning sign, not a question mark: the accessory may not start again.
bool askToGoOn(QWidget *parent, const QString &text) {
    return messages::warning(parent, QStringLiteral("Warning"), text,
                             QMessageBox::Yes | QMessageBox::No,
                             QMessageBox::No) == QMessageBox::Yes;
}

// A file that is plainly not firmware, or a battery that may not last the
// update: asked about before anything is sent.
bool confirmImageAndPower(QWidget *parent, const QByteArray &image) {
    const QString notFirmware = firmware::notFirmwareReason(image);
    if (!notFirmware.isEmpty() &&
        !askToGoOn(parent, QStringLiteral("The firmware file %1, not a firmware image. Sending "
                                          "it may leave the accessory unable to start. Send it "
                                          "anyway?")
                               .arg(notFirmware)))
        return false;
    const PowerSupply power = readPowerSupply();
    return !batteryTooLow(power) ||
           askToGoOn(parent, lowBatteryText(power) + QStringLiteral(" Update anyway?"));
}

} // namespace

void MainWindow::slotPushButtonLoadFW() {
    // A running transfer keeps the image it was started with.
    if (refuseWhileDeviceBusy())
        return;
    // Assigned even when cancelled: cancelling clears the earlier choice.
    firmwarePath = messages::getOpenFileName(this, QStringLiteral("select bin file"),
                                             QStringLiteral("./"), QStringLiteral("*.bin"));
    if (!firmwarePath.isEmpty())
        dimFirmwareArrows();
    showChosenFirmware();
}

void MainWindow::showChosenFirmware() {
    fwProgress->setRowTip(QString());
    if (firmwarePath.isEmpty()) {
        btnRun->setToolTip(QStringLiteral("Run"));
        return;
    }
    const QFileInfo image(firmwarePath);
    const QString chosen = QStringLiteral("%1, %2 bytes").arg(image.fileName()).arg(image.size());
    btnRun->setToolTip(QStringLiteral("Run: ") + chosen);
    qDebug("firmware file: %s", qUtf8Printable(chosen));
    // To compare with the checksum the accessory's maker publishes.
    QByteArray bytes;
    if (firmware::loadImage(firmwarePath, bytes).isEmpty())
        fwProgress->setRowTip(image.fileName() + QStringLiteral(" SHA-256: ") +
                              firmware::sha256Hex(bytes));
}

// The bytes about to be sent, for the diagnostic log.
void MainWindow::logImageToSend(const QByteArray &image) {
    qDebug("firmware SHA-256: %s", qPrintable(firmware::sha256Hex(image)));
    const QString padding = firmware::paddingNote(image.size());
    if (!padding.isEmpty())
        qDebug().noquote() << padding;
}

void MainWindow::slotPushButtonRunUpdateFW() {
    qDebug() << "WorkerThread run: threadId: " << QThread::currentThreadId();
    if (refuseWhileDeviceBusy())
        return;
    if (firmwarePath.isEmpty()) {
        showWarning(this, QStringLiteral("Please load firmware file first !"));
        return;
    }
    // Refused before anything is sent; these bytes are the ones the worker sends.
    QByteArray image;
    const QString problem = firmware::loadImage(firmwarePath, image);
    if (!problem.isEmpty()) {
        showWarning(this, problem);
        return;
    }
    if (!confirmImageAndPower(this, image))
        return;
    openDevice();
    // Another program's job holds the accessory; openDevice has said so.
    if (identifyRefused || !confirmUpdateOfDevice())
        return;
    // Held for the whole transfer; onFirmwareWorkerFinished gives it back.
    if (!lockDevice())
        return;
    dimFirmwareArrows();
    logImageToSend(image);
    firmwareImage = image;
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
    messages::information(this, QStringLiteral("Success"),
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
    return askToGoOn(this, QString::fromUtf8(accessory::kUnidentifiedBeforeUpdate) +
                               QStringLiteral(" Update it anyway?"));
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
    if (fwWorker->result().outcome != firmware::Outcome::Succeeded)
        updatedUnit.reset(); // no restart to wait for
    endDeviceJob(firmware::failureText(fwWorker->result()));
}
