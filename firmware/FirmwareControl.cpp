// The window's firmware update: choosing the image, starting the transfer,
// showing its progress and telling the user how it ended.
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

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
    if (identifyRefused || !deviceReadyForAction())
        return;
    // Held for the whole transfer; onFirmwareWorkerFinished gives it back.
    if (!lockDevice())
        return;
    dimFirmwareArrows();
    versionBeforeUpdate = versionText;
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
    // the updated firmware; were the thread somehow still running, openDevice
    // would defer itself to onFirmwareWorkerFinished.
    fwWorker->wait(kWorkerStopWaitMs);
    openDevice();
    noteVersionChange(versionBeforeUpdate);
}

void MainWindow::noteVersionChange(const QString &before) {
    QString change;
    if (!hidHandle)
        change = QStringLiteral("version not read, the device is not connected");
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
    if (!failure.isEmpty())
        showWarning(this, failure);
    runDeferredArrival();
}
