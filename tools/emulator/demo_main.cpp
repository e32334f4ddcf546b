// The program over the emulated accessory, for demos without hardware and for
// end-to-end tests.
//
//   --no-device                  start with nothing attached
//   CORVANE_EMULATOR_STATE_DIR   at exit, write what the accessory holds there:
//                                firmware.bin (received image), record.<name>
//   CORVANE_AUTO_ANSWER=1        answer every message box with its default
//                                button and print "dialog: <title>: <text>";
//                                print "window shown" once the window is up
//   CORVANE_EMULATOR_REPLY_DELAY_MS  the accessory answers each request this
//                                late, like real full-speed USB (about 20 ms)
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "DemoAccessory.h"
#include "EmulatedAccessory.h"
#include "app/Application.h"
#include "ui/MainWindow.h"

namespace {

// Unplugging and replugging in the emulation reaches the window the way the
// system's notifications would.
void forwardHotplugToWindow() {
    emu::setHotplugListener([](const std::string &path, bool arrived) {
        // Named like a Linux node, so that the removal is recognised as the
        // open device's.
        const QString name =
            QStringLiteral("HID#VID_1ABE&PID_2203#") + QString::fromStdString(path);
        QMetaObject::invokeMethod(
            qApp,
            [name, arrived] {
                if (!g_mainWindow)
                    return;
                if (arrived)
                    g_mainWindow->handleInterfaceArrival(name);
                else
                    g_mainWindow->handleInterfaceRemoval(name);
            },
            Qt::QueuedConnection);
    });
}

void startAutoAnswer() {
    auto *timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        std::printf("dialog: %s: %s\n", qUtf8Printable(box->windowTitle()),
                    qUtf8Printable(box->text()));
        std::fflush(stdout);
        QAbstractButton *button = box->defaultButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().first();
        if (button)
            button->click();
    });
    timer->start(50);
}

void announceWhenShown() {
    auto *timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer] {
        if (!g_mainWindow || !g_mainWindow->isVisible())
            return;
        std::printf("window shown\n");
        std::fflush(stdout);
        timer->stop();
    });
    timer->start(20);
}

bool hasOption(int argc, char **argv, const char *option) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char *argv[]) {
    if (!hasOption(argc, argv, "--no-device"))
        demo::attachDemoAccessory();
    forwardHotplugToWindow();
    const bool autoAnswer = qEnvironmentVariableIntValue("CORVANE_AUTO_ANSWER") == 1;
    const int result = runCorvane(argc, argv, [autoAnswer] {
        if (!autoAnswer)
            return;
        startAutoAnswer();
        announceWhenShown();
    });
    const QString stateDir = qEnvironmentVariable("CORVANE_EMULATOR_STATE_DIR");
    if (!stateDir.isEmpty())
        demo::exportState(stateDir);
    return result;
}
