// How long one Paste press takes with a trivial resolver module (interpreter
// start, import, call, finalize), how much resident memory repeated presses
// leave behind, and how long the window's event loop stands still while a
// press waits for a slow sign-in server.
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "account/PythonResolver.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"

#ifdef Q_OS_LINUX
#include <unistd.h>
#endif

namespace {

constexpr int kTimedPresses = 30;
constexpr int kMemoryPresses = 50;
constexpr int kWarmUpPresses = 3;
constexpr double kTargetMs = 80.0;
constexpr double kStallTargetMs = 16.0; // one frame at 60 Hz
constexpr int kStallPresses = 3;
const char *const kPasted = "https://redirect.example.net/remoteplay/redirect?code=abc";
const char *const kTrivialModule = "def getpsnid(url):\n    return 'AQAAAAAAAAA='\n";

qint64 residentBytes() {
#ifdef Q_OS_LINUX
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
#else
    return -1;
#endif
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

template <typename Press> std::vector<double> timePresses(int count, Press press) {
    std::vector<double> millis;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer timer;
        timer.start();
        press();
        millis.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return millis;
}

void printTimes(const char *what, const std::vector<double> &millis) {
    const double mid = median(millis);
    std::printf("%-34s median %7.2f ms  min %7.2f  max %7.2f  (%d presses)  ratio to %.0f ms "
                "target: %.2f\n",
                what, mid, *std::min_element(millis.begin(), millis.end()),
                *std::max_element(millis.begin(), millis.end()), int(millis.size()), kTargetMs,
                mid / kTargetMs);
}

bool resolveOnce() {
    return PythonResolver::resolve(QString::fromLatin1(kPasted)).ok;
}

// Returns once the window's press has ended: the Paste button is enabled again.
class PressEndWatcher : public QObject {
public:
    explicit PressEndWatcher(MainWindow *window) : window_(window) {
        window->btnPaste->installEventFilter(this);
    }
    void wait() {
        if (window_->pasteInProgress())
            loop_.exec();
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::EnabledChange && !window_->pasteInProgress())
            loop_.quit();
        return false;
    }

private:
    MainWindow *window_;
    QEventLoop loop_;
};

// The sign-in server on 127.0.0.1 in a child process; each of the two
// requests is answered after `delaySeconds`.
bool startSlowServer(QProcess *server, double delaySeconds) {
    const char *script = "import sys\n"
                         "sys.path.insert(0, sys.argv[1])\n"
                         "from fake_signin_server import FakeSignInServer\n"
                         "server = FakeSignInServer((200, {'access_token': 't'}),\n"
                         "    (200, {'user_id': '1'}), float(sys.argv[2])).start()\n"
                         "print(server.host, flush=True)\n"
                         "sys.stdin.read()\n"
                         "server.stop()\n";
    server->start(QStringLiteral("python3"),
                  {QString::fromLatin1("-c"), QString::fromLatin1(script),
                   QStringLiteral(CORVANE_SOURCE_DIR "/tests/python"),
                   QString::number(delaySeconds)});
    if (!server->waitForReadyRead(10000))
        return false;
    qputenv("CORVANE_AUTH_HOST", "http://" + server->readLine().trimmed());
    qputenv("CORVANE_REDIRECT_HOST", "redirect.example.net");
    qputenv("CORVANE_CLIENT_SECRET", "secret");
    qputenv("no_proxy", "*");
    return true;
}

// The longest time between two ticks of a 1 ms timer on the GUI thread while
// `during` runs; the ticker stops when `during` returns.
template <typename During> double longestTickGapMs(During during) {
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.nsecsElapsed() - last);
        last = clock.nsecsElapsed();
    });
    clock.start();
    ticker.start(1);
    during();
    ticker.stop();
    return double(std::max(longest, clock.nsecsElapsed() - last)) / 1e6;
}

// The stall while a press with the shipped resolver waits two seconds for the
// server, next to the same timer's longest gap in an idle loop of that length
// (what the machine's scheduling alone costs).
void measureStall(MainWindow *window, const QString &workDir) {
    QFile::remove(workDir + QStringLiteral("/Python37/Lib/PSNID.py"));
    QFile::copy(QStringLiteral(CORVANE_SOURCE_DIR "/account/python/PSNID.py"),
                workDir + QStringLiteral("/Python37/Lib/PSNID.py"));
    QProcess server;
    if (!startSlowServer(&server, 1.0)) {
        std::fprintf(stderr, "the test server did not start\n");
        return;
    }
    std::vector<double> stalls, pressMs, idle;
    for (int i = 0; i < kStallPresses; ++i) {
        QElapsedTimer press;
        press.start();
        stalls.push_back(longestTickGapMs([window] {
            PressEndWatcher watcher(window);
            window->slotPushButtonPastePSNID();
            watcher.wait();
        }));
        pressMs.push_back(double(press.nsecsElapsed()) / 1e6);
        idle.push_back(longestTickGapMs([] {
            QEventLoop loop;
            QTimer::singleShot(2000, &loop, &QEventLoop::quit);
            loop.exec();
        }));
    }
    server.closeWriteChannel();
    server.waitForFinished(10000);
    const double worst = *std::max_element(stalls.begin(), stalls.end());
    std::printf("%-34s worst %7.2f ms  median %7.2f  (%d presses of median %.0f ms, server "
                "answers after 2 s)  ratio to %.0f ms target: %.2f\n",
                "longest event-loop stall:", worst, median(stalls), kStallPresses, median(pressMs),
                kStallTargetMs, worst / kStallTargetMs);
    std::printf("%-34s worst %7.2f ms  median %7.2f  (idle loop of 2 s, for comparison)\n",
                "longest gap without a press:", *std::max_element(idle.begin(), idle.end()),
                median(idle));
    if (window->editPsnId->text() != QLatin1String("AQAAAAAAAAA="))
        std::fprintf(stderr, "unexpected outcome of the slow press\n");
}

void measureMemory() {
    for (int i = 0; i < kWarmUpPresses; ++i)
        resolveOnce();
    const qint64 before = residentBytes();
    for (int i = 0; i < kMemoryPresses; ++i)
        resolveOnce();
    const qint64 growth = residentBytes() - before;
    std::printf("%-34s %lld bytes over %d presses (%.0f bytes per press)\n",
                "resident memory growth:", static_cast<long long>(growth), kMemoryPresses,
                double(growth) / kMemoryPresses);
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir workDir;
    QDir().mkpath(workDir.filePath(QStringLiteral("Python37/Lib")));
    QFile module(workDir.filePath(QStringLiteral("Python37/Lib/PSNID.py")));
    if (!module.open(QIODevice::WriteOnly) || module.write(kTrivialModule) < 0)
        return 1;
    module.close();
    PythonResolver::setProgramFolder(workDir.path());
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    if (!resolveOnce()) {
        std::fprintf(stderr, "the trivial module could not be resolved\n");
        return 1;
    }
    printTimes("resolver (start to finalize):", timePresses(kTimedPresses, resolveOnce));

    fixture::attachStandardDevice();
    auto window = fixture::makeWindow();
    DialogAnswerer answerer; // a failed press would otherwise wait for a click
    QGuiApplication::clipboard()->setText(QString::fromLatin1(kPasted));
    printTimes("whole Paste press (slot to end):", timePresses(kTimedPresses, [&] {
                   PressEndWatcher watcher(window.get());
                   window->slotPushButtonPastePSNID();
                   watcher.wait();
               }));
    if (answerer.count() > 0 || window->editPsnId->text() != QLatin1String("AQAAAAAAAAA="))
        std::fprintf(stderr, "unexpected outcome of the Paste press\n");

    measureMemory();
    measureStall(window.get(), workDir.path());
    return 0;
}
