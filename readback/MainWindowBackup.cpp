// Starting the flash backup and telling the user how it ended.
#include <QDate>
#include <QDir>

#include "device/DeviceReport.h"
#include "readback/WorkerThreadForSaveData.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"
#include "ui/ProgressTips.h"

namespace {

void warnNotConnected(QWidget *parent) {
    showWarning(parent, QStringLiteral("Not connected device!"));
}

QString suggestedBackupPath() {
    const QString date = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    return QDir::home().filePath(QStringLiteral("corvane-flash-%1.bin").arg(date));
}

} // namespace

bool MainWindow::startFlashBackup(const QString &path) {
    if (!hidHandle) {
        warnNotConnected(this);
        return false;
    }
    if (refuseWhileDeviceBusy())
        return false;
    if (path.isEmpty()) {
        showWarning(this, QStringLiteral("No backup file was chosen."));
        return false;
    }
    QString reason;
    if (!readback::canCreate(path, &reason)) {
        showWarning(this, QStringLiteral("The backup file \"%1\" cannot be created: %2")
                              .arg(QDir::toNativeSeparators(path), reason));
        return false;
    }
    if (!identifiedForDeviceAction())
        return false;
    // Held for the whole read-back; onBackupWorkerFinished gives it back.
    if (!lockDevice())
        return false;
    saveDataPath = path;
    // The save arrows only ever go from unlit to lit; how the backup ended is
    // told by its box.
    backupJobStopped = false;
    saveDataWorker->start();
    readOutProgress(QStringLiteral("Backing up flash"), blockCounter(saveDataWorker), saveProgress);
    return true;
}

void MainWindow::backUpFlashInteractively() {
    if (!hidHandle) {
        warnNotConnected(this);
        return;
    }
    if (refuseWhileDeviceBusy())
        return;
    const QString path =
        messages::getSaveFileNameEndingIn(this, QStringLiteral("Back up device flash"),
                                          suggestedBackupPath(), QStringLiteral("bin"));
    if (path.isEmpty())
        return;
    startFlashBackup(path);
}

void MainWindow::onBackupWorkerFinished() {
    endDeviceJob(readback::failureText(saveDataWorker->result()));
}
