#include "ui/MainWindow.h"

void MainWindow::slotPushButtonLoadFW() {}
void MainWindow::slotPushButtonRunUpdateFW() {}
void MainWindow::slotShowRunUpdateFWProcess(int) {}
void MainWindow::onFirmwareWorkerFinished() {}
