// Starting the flash backup and telling the user how it ended.
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>

#include "device/DeviceReport.h"
#include "readback/WorkerThreadForSaveData.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"
#include "ui/ProgressTips.h"

namespace {

void warnNotConnected(QWidget *parent) {
    showWarning(parent, QStringLiteral("Not connected device!"));
}

// Opens (and discards) the file the worker will write, so that a path that
// cannot be written is refused before the device is read for a minute.
// QSaveFile leaves neither a new file nor a change to an existing one behind.
bool canCreate(const QString &path, QString *reason) {
    QSaveFile probe(path);
    if (!probe.open(QIODevice::WriteOnly)) {
        *reason = probe.errorString();
        return false;
    }
    probe.cancelWriting();
    return true;
}

QString suggestedBackupPath() {
    const QString date = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    return QDir::home().filePath(QStringLiteral("corvane-flash-%1.bin").arg(date));
}

QString failureMessage(const WorkerThreadForSaveData::Result &result) {
    using Outcome = WorkerThreadForSaveData::Outcome;
    switch (result.outcome) {
    case Outcome::BlocksFailed: {
        QString text = QStringLiteral("Flash backup failed: %1 of %2 blocks could not be read; "
                                      "no backup file was written.")
                           .arg(result.failedBlocks)
                           .arg(kFlashBlockCount);
        if (result.writesFailing)
            text += QStringLiteral(" The device took none of %1 requests in a row, so the "
                                   "backup was ended there.")
                        .arg(kMaxConsecutiveWriteFailures);
        return text;
    }
    case Outcome::Stopped:
        return QStringLiteral("Flash backup stopped; no backup file was written.");
    case Outcome::FileError:
        return QStringLiteral("The backup file could not be written: %1").arg(result.detail);
    case Outcome::None:
    case Outcome::Succeeded:
        break;
    }
    return QString();
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
    if (!canCreate(path, &reason)) {
        showWarning(this, QStringLiteral("The backup file \"%1\" cannot be created: %2")
                              .arg(QDir::toNativeSeparators(path), reason));
        return false;
    }
    if (!identifiedForDeviceAction())
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
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Back up device flash"),
                                                suggestedBackupPath(), QStringLiteral("*.bin"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".bin");
    startFlashBackup(path);
}

void MainWindow::onBackupWorkerFinished() {
    progressTips->end();
    const QString failure = failureMessage(saveDataWorker->result());
    if (!failure.isEmpty())
        showWarning(this, failure);
    runDeferredArrival();
}
