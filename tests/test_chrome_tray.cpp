// The window's chrome and tray: dragging by the background, hiding, every way
// of closing (and their refusal during a transfer), the tray icon and menu.
#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include "firmware/WorkerThreadForFW.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"
#include "ui/Tray.h"

namespace {

// A point of the background that no child widget covers.
const QPoint kBackgroundPoint(30, 300);
const QPoint kExitButtonPoint(628, 20);
const QPoint kHideButtonPoint(590, 20);
const QString kExitQuestion = QStringLiteral("Are you sure to  exit?");

// Mean lightness (0 black .. 255 white) of the widget as it renders.
int meanLightness(QWidget *widget) {
    const QImage image = widget->grab().toImage();
    qint64 sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += QColor(image.pixel(x, y)).lightness();
    return image.isNull() ? 255 : int(sum / (qint64(image.width()) * image.height()));
}

QPushButton *buttonAt(MainWindow &window, const QPoint &point) {
    return qobject_cast<QPushButton *>(window.childAt(point));
}

// Shows the window at a known place, with mouse tracking so that moves with
// no button held are delivered too: a drag that failed to end would show.
void showForDragging(MainWindow &window) {
    window.move(100, 150);
    window.setMouseTracking(true);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
}

// A pointer move to `pos` (window coordinates) with `held` buttons down.
// QTest::mouseMove sends such a move only from Qt 6.3 on; earlier it just
// places the cursor, so the event is sent directly there.
void moveMouse(QWidget *widget, const QPoint &pos, Qt::MouseButtons held) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 3, 0)
    Q_UNUSED(held);
    QTest::mouseMove(widget, pos);
#else
    QMouseEvent move(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton, held,
                     Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
#endif
}

QStringList plainButtonTexts(const SeenDialog &dialog) {
    QStringList texts;
    for (const QString &text : dialog.buttons)
        texts << QString(text).remove(QLatin1Char('&'));
    return texts;
}

QString writeFirmwareImage(const QTemporaryDir &dir) {
    const QString path = dir.filePath(QStringLiteral("firmware.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(QByteArray(512 * 1024, '\xA5'));
    return path;
}

bool transferRunning(const MainWindow &window) {
    return window.fwWorker && window.fwWorker->isRunning();
}

int refusalCount(const DialogAnswerer &answerer) {
    int count = 0;
    for (const SeenDialog &dialog : answerer.seen()) {
        if (dialog.title == QLatin1String("Exit") && dialog.icon == QMessageBox::Warning &&
            dialog.text.startsWith(QLatin1String("The device is being written or read")))
            ++count;
    }
    return count;
}

} // namespace

class TestChromeTray : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowFlagsMakeAFramelessToolWindow();
    void leftDragMovesByPointerDelta();
    void otherButtonsNeitherStartNorEndDrag();

    void exitBoxAsksYesOrNo();
    void exitAnswers_data();
    void exitAnswers();

    void trayIconAndMenu();
    void menusFollowTheDarkLook();
    void trayClickTogglesVisibility();
    void trayShowHideActionTogglesAndLogs();
    void trayCloseClosesWithoutQuestion();
    void trayCloseEndsEventLoopWhileHidden();

    void hideButtonHidesWithTray();
    void firstShownInTheMiddleOfTheFreeArea();
    void hideButtonMinimizesWithoutTray();

    void closingRefusedDuringTransfer();
};

void TestChromeTray::init() {
    fixture::attachStandardDevice();
}

void TestChromeTray::cleanup() {
    tray::clearAvailabilityForTesting();
    QCOMPARE(emu::misuseCount(), 0);
}

void TestChromeTray::windowFlagsMakeAFramelessToolWindow() {
    auto window = fixture::makeWindow();
    const Qt::WindowFlags flags = window->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    for (Qt::WindowType hint : {Qt::FramelessWindowHint, Qt::WindowStaysOnTopHint})
        QVERIFY(flags.testFlag(hint));
    QVERIFY(!flags.testFlag(Qt::X11BypassWindowManagerHint));
    // Qt clears this for tool windows whenever their flags are set; it must
    // survive construction and showing, or closing would not end the program.
    QVERIFY(window->testAttribute(Qt::WA_QuitOnClose));
    window->show();
    QVERIFY(window->testAttribute(Qt::WA_QuitOnClose));
}

void TestChromeTray::leftDragMovesByPointerDelta() {
    auto window = fixture::makeWindow();
    showForDragging(*window);
    const QPoint start = window->frameGeometry().topLeft();
    QVERIFY(window->childAt(kBackgroundPoint) == nullptr);

    QTest::mousePress(window.get(), Qt::LeftButton, {}, kBackgroundPoint);
    moveMouse(window.get(), kBackgroundPoint + QPoint(30, -10), Qt::LeftButton);
    QCOMPARE(window->frameGeometry().topLeft(), start + QPoint(30, -10));
    QTest::mouseRelease(window.get(), Qt::LeftButton, {}, kBackgroundPoint);
    QCOMPARE(window->frameGeometry().topLeft(), start + QPoint(30, -10));

    moveMouse(window.get(), kBackgroundPoint + QPoint(50, 40), Qt::NoButton);
    QCOMPARE(window->frameGeometry().topLeft(), start + QPoint(30, -10));
}

void TestChromeTray::otherButtonsNeitherStartNorEndDrag() {
    auto window = fixture::makeWindow();
    showForDragging(*window);
    const QPoint start = window->frameGeometry().topLeft();

    for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        QTest::mousePress(window.get(), button, {}, kBackgroundPoint);
        moveMouse(window.get(), kBackgroundPoint + QPoint(25, 25), button);
        QTest::mouseRelease(window.get(), button, {}, kBackgroundPoint + QPoint(25, 25));
        QCOMPARE(window->frameGeometry().topLeft(), start);
    }

    // A right click in the middle of a left drag leaves the drag going.
    QTest::mousePress(window.get(), Qt::LeftButton, {}, kBackgroundPoint);
    QTest::mousePress(window.get(), Qt::RightButton, {}, kBackgroundPoint);
    QTest::mouseRelease(window.get(), Qt::RightButton, {}, kBackgroundPoint);
    moveMouse(window.get(), kBackgroundPoint + QPoint(30, -10), Qt::LeftButton);
    QCOMPARE(window->frameGeometry().topLeft(), start + QPoint(30, -10));
    QTest::mouseRelease(window.get(), Qt::LeftButton, {}, kBackgroundPoint + QPoint(30, -10));
}

void TestChromeTray::exitBoxAsksYesOrNo() {
    DialogAnswerer answerer;
    auto window = fixture::makeWindow();
    window->show();
    answerer.answerMessageBox(QMessageBox::No);
    QPushButton *exitButton = buttonAt(*window, kExitButtonPoint);
    QVERIFY(exitButton);
    exitButton->click();

    QCOMPARE(answerer.count(), 1);
    const SeenDialog &box = answerer.seen().first();
    QCOMPARE(box.title, QStringLiteral("Exit"));
    QCOMPARE(box.text, kExitQuestion);
    QCOMPARE(plainButtonTexts(box), QStringList({QStringLiteral("Yes"), QStringLiteral("No")}));
}

void TestChromeTray::exitAnswers_data() {
    QTest::addColumn<bool>("withDevice");
    QTest::addColumn<bool>("yes");
    QTest::newRow("device, yes") << true << true;
    QTest::newRow("device, no") << true << false;
    QTest::newRow("no device, yes") << false << true;
    QTest::newRow("no device, no") << false << false;
}

void TestChromeTray::exitAnswers() {
    QFETCH(bool, withDevice);
    QFETCH(bool, yes);
    if (!withDevice)
        fixture::resetEmulation();
    DialogAnswerer answerer;
    auto window = fixture::makeWindow();
    window->show();
    QCOMPARE(emu::openHandleCount(), withDevice ? 1 : 0);

    answerer.answerMessageBox(yes ? QMessageBox::Yes : QMessageBox::No);
    window->slotPushButtonClose();

    QVERIFY(answerer.sawText(kExitQuestion));
    QCOMPARE(window->isVisible(), !yes);
    QCOMPARE(emu::openHandleCount(), (withDevice && !yes) ? 1 : 0);
    QCOMPARE(window->hidHandle == nullptr, yes || !withDevice);
}

void TestChromeTray::trayIconAndMenu() {
    auto window = fixture::makeWindow();
    QVERIFY(window->sysTrayIcon);
    QCOMPARE(window->sysTrayIcon->toolTip(), QStringLiteral("Corvane"));
    QCOMPARE(window->sysTrayIcon->contextMenu(), window->trayMenu);
    QStringList entries;
    const QList<QAction *> actions = window->trayMenu->actions();
    for (const QAction *action : actions)
        entries << action->text();
    QCOMPARE(entries, QStringList({QStringLiteral("Close"), QStringLiteral("Show/Hide")}));
}

void TestChromeTray::menusFollowTheDarkLook() {
    auto window = fixture::makeWindow();
    window->show();
    QVERIFY(meanLightness(window->trayMenu) < 70);
    int backgroundMenuLightness = -1;
    QTimer::singleShot(50, [&] {
        if (QWidget *menu = QApplication::activePopupWidget()) {
            backgroundMenuLightness = meanLightness(menu);
            menu->close();
        }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, kBackgroundPoint,
                            window->mapToGlobal(kBackgroundPoint));
    QApplication::sendEvent(window.get(), &event);
    QVERIFY(backgroundMenuLightness >= 0);
    QVERIFY(backgroundMenuLightness < 70);
}

void TestChromeTray::trayClickTogglesVisibility() {
    auto window = fixture::makeWindow();
    window->show();
    const QSystemTrayIcon::ActivationReason ignored[] = {
        QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Context};

    for (bool shown : {true, false}) {
        for (QSystemTrayIcon::ActivationReason reason : ignored) {
            window->on_activatedSysTrayIcon(reason);
            QCOMPARE(window->isVisible(), shown);
        }
        window->on_activatedSysTrayIcon(QSystemTrayIcon::Trigger);
        QCOMPARE(window->isVisible(), !shown);
    }
}

void TestChromeTray::trayShowHideActionTogglesAndLogs() {
    auto window = fixture::makeWindow();
    window->show();
    LogCapture log;
    window->showOrHideTrayAction->trigger();
    QVERIFY(window->isHidden());
    window->showOrHideTrayAction->trigger();
    QVERIFY(window->isVisible());
    QCOMPARE(log.count(QStringLiteral("on_ShowOrHideTrayAction")), 2);
}

void TestChromeTray::trayCloseClosesWithoutQuestion() {
    DialogAnswerer answerer;
    auto window = fixture::makeWindow();
    window->show();
    window->closeTrayAction->trigger();
    QVERIFY(!window->isVisible());
    QCOMPARE(answerer.count(), 0);
}

void TestChromeTray::trayCloseEndsEventLoopWhileHidden() {
    auto window = fixture::makeWindow();
    window->show();
    window->on_activatedSysTrayIcon(QSystemTrayIcon::Trigger);
    QVERIFY(window->isHidden());
    QTimer::singleShot(0, window->closeTrayAction, &QAction::trigger);
    // Ends the loop with another code should "Close" leave it running.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(10000);
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestChromeTray::hideButtonHidesWithTray() {
    auto window = fixture::makeWindow();
    window->show();
    QPushButton *hideButton = buttonAt(*window, kHideButtonPoint);
    QVERIFY(hideButton);
    hideButton->click();
    QVERIFY(window->isHidden());
    QVERIFY(!window->isMinimized());
}

void TestChromeTray::firstShownInTheMiddleOfTheFreeArea() {
    auto window = fixture::makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    // Not the screen's corner, where a panel would be under it.
    const QRect area = window->screen()->availableGeometry();
    const QRect placed = window->frameGeometry();
    QVERIFY(area.width() > placed.width());
    QCOMPARE(placed.left() - area.left(), area.right() - placed.right());
    QVERIFY(placed.top() >= area.top());
    // Shown again after hiding, it is where it was.
    window->on_activatedSysTrayIcon(QSystemTrayIcon::Trigger);
    window->on_activatedSysTrayIcon(QSystemTrayIcon::Trigger);
    QCOMPARE(window->frameGeometry(), placed);
}

void TestChromeTray::hideButtonMinimizesWithoutTray() {
    tray::setAvailabilityForTesting(false);
    MainWindow window;
    // Without a tray the taskbar entry is the only way back.
    QVERIFY((window.windowFlags() & Qt::WindowType_Mask) != Qt::Tool);
    window.show();
    QPushButton *hideButton = buttonAt(window, kHideButtonPoint);
    QVERIFY(hideButton);
    hideButton->click();
    QVERIFY(window.isMinimized());
    QVERIFY(!window.isHidden());
}

void TestChromeTray::closingRefusedDuringTransfer() {
    QTemporaryDir dir;
    DialogAnswerer answerer;
    auto window = fixture::makeWindow();
    window->show();
    emu::setReplyDelayMs(fixture::kDevicePath, 20);
    answerer.answerFileDialog(writeFirmwareImage(dir));
    window->slotPushButtonLoadFW();
    window->slotPushButtonRunUpdateFW();
    QVERIFY(transferRunning(*window));

    buttonAt(*window, kExitButtonPoint)->click();
    window->closeTrayAction->trigger();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    static_cast<QDialog *>(window.get())->reject();

    QCOMPARE(refusalCount(answerer), 4);
    QVERIFY(!answerer.sawText(kExitQuestion));
    QVERIFY(window->isVisible());
    QVERIFY(transferRunning(*window));
    QCOMPARE(emu::openHandleCount(), 1);

    emu::setReplyDelayMs(fixture::kDevicePath, 0);
    QVERIFY(fixture::waitUntil([&] { return !transferRunning(*window); }));
    QVERIFY(fixture::waitUntil(
        [&] { return answerer.sawText(QStringLiteral("Download firmware successfully!")); }));
}

QTEST_MAIN(TestChromeTray)
#include "test_chrome_tray.moc"
