// The window's own chrome: background painting, dragging by the background,
// hiding, the context menu and every way of closing.
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QHideEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <QThread>
#include <QWindow>

#include "device/DeviceChannel.h"
#include "ui/FocusMark.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"
#include "ui/Tray.h"

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
    // Where the window really is: the pointer's place on the screen less its
    // place in the window. Qt 5 on X11 now and then misses where the window
    // manager mapped the window and takes it for the screen's corner; a move
    // started from that belief would make the window jump.
    const QPoint topLeft = eventGlobalPos(event) - eventLocalPos(event);
    QWindow *window = windowHandle();
    // (A pixel off is rounding under a fractional scale.)
    const bool placeKnown = window && (window->position() - topLeft).manhattanLength() <= 2;
    // The window manager or compositor moves the window while the button is
    // held: a Wayland client cannot place its own window, and on X11 this is
    // how the window manager learns of the move. Where the platform offers no
    // such move, or the window's place was not known, the window follows the
    // pointer itself.
    if (placeKnown && window->startSystemMove())
        return;
    if (!placeKnown)
        move(topLeft); // and so learns, and keeps for hiding, its true place
    isDragging = true;
    pressGlobalPos = eventGlobalPos(event);
    windowTopLeft = topLeft;
}

void MainWindow::mouseMoveEvent(QMouseEvent *event) {
    if (isDragging)
        move(eventGlobalPos(event) - pressGlobalPos + windowTopLeft);
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        isDragging = false;
}

// The window chooses its own place on X11: in the middle of the screen's free
// area when first shown (unless placed already), and where it was hidden when
// shown again, also after the window manager moved it. Left to an X11 window
// manager, a window mapped again is placed like a new one, over the panel even,
// where this stays-on-top window would cover the tray icon; and Qt may not
// learn where the window manager put a new window, so that its own idea of the
// place (and with it the place kept at hiding) would be the screen's corner.
// Wayland compositors ignore a window's wish and place it themselves.
void MainWindow::hideEvent(QHideEvent *event) {
    if (!event->spontaneous())
        placeWhenHidden = pos();
    QDialog::hideEvent(event);
}

void MainWindow::showEvent(QShowEvent *event) {
    // Sent before the window is mapped, so the place goes out with the map.
    if (!event->spontaneous()) {
        const QPoint place = placeWhenHidden ? *placeWhenHidden : firstPlace();
        move(place);
        // The native window may already be at that place, which leaves the
        // move above without effect; asking the native window itself marks
        // the position as the program's own choice.
        if (QWindow *window = windowHandle())
            window->setPosition(place);
    }
    QDialog::showEvent(event);
}

QPoint MainWindow::firstPlace() const {
    const QScreen *shownOn = screen();
    if (testAttribute(Qt::WA_Moved) || !shownOn)
        return pos();
    const QRect area = shownOn->availableGeometry();
    // A screen smaller than the window shows its top left part.
    return {area.left() + qMax(0, (area.width() - width()) / 2),
            area.top() + qMax(0, (area.height() - height()) / 2)};
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
    messages::warning(this, QStringLiteral("Exit"),
                      QStringLiteral("The device is being written or read; please wait until "
                                     "the transfer has finished, since interrupting it can "
                                     "leave the device unusable."),
                      QMessageBox::Ok, QMessageBox::NoButton);
    return true;
}

void MainWindow::slotPushButtonClose() {
    if (refuseCloseWhileDeviceBusy())
        return;
    const auto answer = messages::information(
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

// A focused button takes Enter itself (and Space); Enter reaching the window
// comes from a text field, where the dialog would press its default button,
// Login, and open the browser. Enter in a field does nothing: Save stays a
// deliberate press, never one half-typed PIN away.
void MainWindow::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
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
