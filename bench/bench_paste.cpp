// How long one Paste press takes with a trivial resolver module (interpreter
// start, import, call, finalize), and how much resident memory repeated presses
// leave behind.
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
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
    QDir::setCurrent(workDir.path());
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
    printTimes("whole Paste press (slot):",
               timePresses(kTimedPresses, [&] { window->slotPushButtonPastePSNID(); }));
    if (answerer.count() > 0 || window->editPsnId->text() != QLatin1String("AQAAAAAAAAA="))
        std::fprintf(stderr, "unexpected outcome of the Paste press\n");

    measureMemory();
    return 0;
}
