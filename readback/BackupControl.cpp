#include "ui/MainWindow.h"

bool MainWindow::startFlashBackup(const QString &) {
    return false;
}
void MainWindow::backUpFlashInteractively() {}
void MainWindow::onBackupWorkerFinished() {}
