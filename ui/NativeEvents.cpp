// Device-change notifications delivered to the window by the platform.
#include "ui/MainWindow.h"

void MainWindow::registerDeviceNotifications() {}

bool MainWindow::nativeEvent(const QByteArray &eventType, void *message, NativeEventResult *result) {
    return QDialog::nativeEvent(eventType, message, result);
}
