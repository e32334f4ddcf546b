// The window's own chrome: background painting, dragging by the background,
// hiding, the context menu and every way of closing.
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QThread>

#include "device/DeviceChannel.h"
#include "ui/FocusMark.h"
#include "ui/MainWindow.h"
#include "ui/TrayMenu.h"

void MainWindow::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.drawPixmap(QRectF(0, 0, width(), height()), backgroundForScreen(), QRectF(0, 0, 0, 0));
    focusMark->paint(painter);
}

// On a high-density screen the background's @2x twin is drawn instead of the
// standard image stretched; both cover the same 656 x 710 window pixels.
const QPixmap &MainWindow::backgroundForScreen() {
    if (devicePixelRatioF() < 1.5)
        return backgroundPixmap;
    if (backgroundPixmap2x.isNull()) {
        backgroundPixmap2x.load(QStringLiteral(":/pics/背景@2x.png"));
        backgroundPixmap2x.setDevicePixelRatio(2);
    }
    return backgroundPixmap2x.isNull() ? backgroundPixmap : backgroundPixmap2x;
}

void MainWindow::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return;
    isDragging = true;
    pressGlobalPos = eventGlobalPos(event);
    windowTopLeft = frameGeometry().topLeft();
}

void MainWindow::mouseMoveEvent(QMouseEvent *event) {
    if (isDragging)
        move(eventGlobalPos(event) - pressGlobalPos + windowTopLeft);
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        isDragging = false;
}

void MainWindow::slotPushButtonMini() {
    hideOrMinimize();
}

void MainWindow::hideOrMinimize() {
    // Without a tray a hidden window could not be brought back.
    if (sysTrayIcon && tray::available())
        hide();
    else
        showMinimized();
}

bool MainWindow::refuseCloseWhileDeviceBusy() {
    if (refuseCloseWhilePasteRuns())
        return true;
    if (!deviceJobRunning())
        return false;
    QMessageBox::warning(this, QStringLiteral("Exit"),
                         QStringLiteral("The device is being written or read; please wait until "
                                        "the transfer has finished, since interrupting it can "
                                        "leave the device unusable."),
                         QMessageBox::Ok, QMessageBox::NoButton);
    return true;
}

void MainWindow::slotPushButtonClose() {
    if (refuseCloseWhileDeviceBusy())
        return;
    const auto answer = QMessageBox::information(
        this, QStringLiteral("Exit"), QStringLiteral("Are you sure to  exit?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;
    // The transfer may have started while the box was open.
    if (refuseCloseWhileDeviceBusy())
        return;
    channel.close();
    closeAndQuit();
}

void MainWindow::closeAndQuit() {
    close();
    // Closing a hidden window does not end the loop by itself (Qt 6). Only a
    // running loop is told to end: exit() without one would make every later
    // modal loop return at once.
    if (QThread::currentThread()->loopLevel() > 0)
        QCoreApplication::exit(0);
}

void MainWindow::reject() {
    if (refuseCloseWhileDeviceBusy())
        return;
    QDialog::reject();
}

namespace {
std::function<void(QMenu *)> backgroundMenuExtension;
}

void MainWindow::setBackgroundMenuExtension(std::function<void(QMenu *)> extension) {
    backgroundMenuExtension = std::move(extension);
}

void MainWindow::contextMenuEvent(QContextMenuEvent *event) {
    QMenu menu(this);
    menu.addAction(QStringLiteral("Back up device flash…"), this,
                   &MainWindow::backUpFlashInteractively);
    menu.addAction(QStringLiteral("Save diagnostic log…"), this, &MainWindow::saveDiagnosticLog);
    QAction *record = menu.addAction(QStringLiteral("Record device session…"), this,
                                     &MainWindow::toggleSessionRecording);
    record->setCheckable(true);
    record->setChecked(sessionRecorder != nullptr);
    if (backgroundMenuExtension)
        backgroundMenuExtension(&menu);
    menu.exec(event->globalPos());
}
