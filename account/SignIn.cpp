#include "ui/MainWindow.h"

void MainWindow::onSendHttpsRequest(QString) {}
void MainWindow::onFinished() {}
void MainWindow::onError(QNetworkReply::NetworkError) {}
void MainWindow::slotPushButtonLoginPSNID() {}
