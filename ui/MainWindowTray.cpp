#include "ui/Tray.h"

#include <QAction>
#include <QDebug>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include "ui/MainWindow.h"

namespace {
int availabilityOverride = -1; // -1: ask the platform
}

namespace tray {

bool available() {
    if (availabilityOverride >= 0)
        return availabilityOverride == 1;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void setAvailabilityForTesting(bool isAvailable) {
    availabilityOverride = isAvailable ? 1 : 0;
}

void clearAvailabilityForTesting() {
    availabilityOverride = -1;
}

} // namespace tray

void MainWindow::createTrayIcon() {
    if (sysTrayIcon)
        return;
    sysTrayIcon = new QSystemTrayIcon(this);
    sysTrayIcon->setToolTip(QObject::tr("Corvane"));
    connect(sysTrayIcon, SIGNAL(activated(QSystemTrayIcon::ActivationReason)), this,
            SLOT(on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason)));
    createTrayActions();
    createTrayMenu();
    sysTrayIcon->setIcon(QIcon(QStringLiteral(":/pics/logo-32x32.png")));
    sysTrayIcon->setVisible(true);
}

void MainWindow::createTrayActions() {
    closeTrayAction = new QAction(QObject::tr("Close"), this);
    connect(closeTrayAction, SIGNAL(triggered()), this, SLOT(on_CloseTrayAction()));
    showOrHideTrayAction = new QAction(QObject::tr("Show/Hide"), this);
    connect(showOrHideTrayAction, SIGNAL(triggered()), this, SLOT(on_ShowOrHideTrayAction()));
}

void MainWindow::createTrayMenu() {
    trayMenu = new QMenu(this);
    connect(trayMenu, SIGNAL(hovered(QAction *)), this, SLOT(slotTrayMenuHovered()));
    connect(trayMenu, SIGNAL(aboutToShow()), this, SLOT(slotTrayMenuAboutToShow()));
    connect(trayMenu, SIGNAL(aboutToHide()), this, SLOT(slotTrayMenuAboutToHid()));
    trayMenu->addAction(closeTrayAction);
    trayMenu->addAction(showOrHideTrayAction);
    sysTrayIcon->setContextMenu(trayMenu);
}

void MainWindow::on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger)
        return;
    if (isHidden()) {
        showNormal();
        raise();
        show();
    } else {
        hide();
    }
}

void MainWindow::on_ShowOrHideTrayAction() {
    qDebug("on_ShowOrHideTrayAction");
    if (isHidden())
        show();
    else
        hide();
}

void MainWindow::on_CloseTrayAction() {
    if (refuseCloseWhileDeviceBusy())
        return;
    closeAndQuit();
}

void MainWindow::slotTrayMenuHovered() {}
void MainWindow::slotTrayMenuAboutToShow() {}
void MainWindow::slotTrayMenuAboutToHid() {}
