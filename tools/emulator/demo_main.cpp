// The program over the emulated accessory, for demos without hardware and for
// end-to-end tests.
//
//   --no-device                  start with nothing attached
//   CORVANE_EMULATOR_STATE_DIR   what the accessory holds: read at start when
//                                present, written at exit: firmware.bin (the
//                                received image), record.<name>
//   CORVANE_EMULATOR_REPLY_DELAY_MS  the accessory answers each request this
//                                late, like real full-speed USB (about 20 ms)
//   CORVANE_EMULATOR_REPLAY=FILE replay a recorded session instead (see
//                                ReplayFile.h); exits 70 when it did not hold
//   CORVANE_AUTO_ANSWER=1        answer every message box with its default
//                                button and print "dialog: <title>: <text>";
//                                print "window shown" once the window is up
//
// Unplugging and plugging the accessory at run time: the window's background
// menu has an entry for it, and scripts send SIGUSR1 (unplug) or SIGUSR2
// (plug in). Either reaches the window as a hot-plug event.
#include <QApplication>
#include <QMenu>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "DemoAccessory.h"
#include "EmulatedAccessory.h"
#include "ReplayFile.h"
#include "app/Application.h"
#include "device/AccessoryIds.h"
#include "device/Hotplug.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"

namespace {

constexpr hotplug::HidIdentity kDemoIdentity{0x0003, accessory::kOpenedPairs[0].vendorId,
                                             accessory::kOpenedPairs[0].productId};

QString stateDir() {
    return qEnvironmentVariable("CORVANE_EMULATOR_STATE_DIR");
}

void unplug() {
    if (emu::isAttached(demo::kDemoPath))
        emu::detach(demo::kDemoPath);
}

// The emulation's plug events reach the window where a real device's do: the
// window's arrival and removal handling, with an interface name of the form
// the system monitor gives.
void forwardHotplugToWindow() {
    emu::setHotplugListener([](const std::string &path, bool arrived) {
        // Named like a Linux node, so that the removal is recognised as the
        // open device's.
        const QString name = hotplug::interfaceName(kDemoIdentity, QString::fromStdString(path));
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

// Message boxes are answered at once; file dialogs are still shown, for the
// end-to-end scripts to type into.
void startAutoAnswer() {
    messages::setAutoAnswer(messages::AutoAnswer::MessageBoxes);
    messages::setObserver([](const messages::Dialog &dialog) {
        if (dialog.kind != messages::Dialog::Kind::Message)
            return;
        std::printf("dialog: %s: %s\n", qUtf8Printable(dialog.title), qUtf8Printable(dialog.text));
        std::fflush(stdout);
    });
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

void addPlugEntry(QMenu *menu) {
    menu->addSeparator();
    if (emu::isAttached(demo::kDemoPath))
        menu->addAction(QStringLiteral("Unplug emulated accessory"), menu, [] { unplug(); });
    else
        menu->addAction(QStringLiteral("Plug in emulated accessory"), menu,
                        [] { demo::plugInDemoAccessory(); });
}

// SIGUSR1 unplugs, SIGUSR2 plugs in. The handler only writes one byte into a
// pipe; the GUI thread reads it and acts.
int signalPipe[2] = {-1, -1};

void onControlSignal(int signalNumber) {
    const char command = signalNumber == SIGUSR1 ? 'u' : 'p';
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &command, 1);
    errno = savedErrno;
}

void watchControlSignals() {
    if (::pipe(signalPipe) != 0)
        return;
    for (int fd : signalPipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char command = 0;
        if (::read(signalPipe[0], &command, 1) == 1)
            command == 'u' ? unplug() : demo::plugInDemoAccessory();
    });
    struct sigaction action = {};
    action.sa_handler = onControlSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);
}

bool hasOption(int argc, char **argv, const char *option) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char *argv[]) {
    const demo::ReplaySetup replay = demo::replayFromEnvironment();
    if (replay == demo::ReplaySetup::Failed)
        return demo::kReplayFailedExit;
    const bool demoAccessory = replay == demo::ReplaySetup::NotAsked;
    if (demoAccessory) {
        demo::prepareDemoAccessory();
        if (!stateDir().isEmpty())
            demo::restoreState(stateDir());
        if (!hasOption(argc, argv, "--no-device"))
            demo::plugInDemoAccessory();
    }
    forwardHotplugToWindow();
    MainWindow::setBackgroundMenuExtension(addPlugEntry);
    const bool autoAnswer = qEnvironmentVariableIntValue("CORVANE_AUTO_ANSWER") == 1;
    const int result = runCorvane(argc, argv, [autoAnswer] {
        watchControlSignals();
        if (!autoAnswer)
            return;
        startAutoAnswer();
        announceWhenShown();
    });
    // A start refused by the single-instance guard never had the accessory;
    // the running copy saves what it holds.
    if (demoAccessory && !stateDir().isEmpty() && result != kAlreadyRunningExitCode)
        demo::exportState(stateDir());
    if (!demoAccessory && !demo::replayHeld())
        return demo::kReplayFailedExit;
    return result;
}
