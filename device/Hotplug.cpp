#include "device/Hotplug.h"
#include "ui/MainWindow.h"

void MainWindow::handleInterfaceArrival(const QString &) {}
void MainWindow::handleInterfaceRemoval(const QString &) {}
void MainWindow::stopWorkersForRemoval() {}
