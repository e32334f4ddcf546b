#include "ui/MainWindow.h"

void MainWindow::slotPushButtonRunSaveData() {}
void MainWindow::slotShowRunUpdateSaveDataProcess(int) {}
