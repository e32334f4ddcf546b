#include "ui/MainWindow.h"

void MainWindow::slotPushButtonPastePSNID() {}
