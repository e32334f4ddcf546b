// Flash backup throughput: the real window's backup worker reading 512 KiB
// from a zero-latency emulated accessory, against a bare loop of the same
// 1024 flash-read requests over the same channel. Printed as medians of
// several runs and their ratio; once with the debug output as the program
// writes it, once with a handler that drops every line, for both sides.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "common/PrivateFile.h"
#include "readback/WorkerThreadForSaveData.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"

namespace {

constexpr int kRuns = 15;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The baseline: the same requests, one after another, nothing else.
double bareLoopMs(MainWindow &window, QByteArray &image) {
    QElapsedTimer timer;
    timer.start();
    for (int block = 0; block < kFlashBlockCount; ++block) {
        DeviceReport reply{};
        if (window.exchange(report::flashRead(uint32_t(block)), &reply, ReplyWait::FlashRead) ==
            ExchangeResult::Ok)
            std::copy_n(report::replyFlashData(reply), kFlashBlockSize,
                        image.data() + block * int(kFlashBlockSize));
    }
    return timer.nsecsElapsed() / 1e6;
}

// The same loop on a thread of its own, as the worker runs, while this thread
// waits the way workerMs() does: shows what the thread alone costs.
double bareLoopOnThreadMs(MainWindow &window, QByteArray &image) {
    double elapsed = 0;
    bool done = false;
    QThread *thread = QThread::create([&] { elapsed = bareLoopMs(window, image); });
    QObject::connect(thread, &QThread::finished, thread, [&] { done = true; });
    thread->start();
    fixture::waitUntil([&] { return done; });
    thread->wait();
    delete thread;
    return elapsed;
}

// The image written the way the worker writes it, to show what the file costs.
double fileWriteMs(const QString &path, const QByteArray &image) {
    QElapsedTimer timer;
    timer.start();
    PrivateFile file(path);
    QString error;
    if (!file.open(&error) || !file.write(image) || !file.commit())
        std::fprintf(stderr, "writing %s failed\n", qPrintable(path));
    return timer.nsecsElapsed() / 1e6;
}

// From the start request to the worker's end, taken on the worker's thread;
// then waits until the window has handled the end (the success box).
double workerMs(MainWindow &window, const QString &path) {
    std::atomic<qint64> endedAt{-1};
    bool handled = false;
    QElapsedTimer timer;
    QObject context;
    QObject::connect(
        window.saveDataWorker, &QThread::finished, &context,
        [&] { endedAt = timer.nsecsElapsed(); }, Qt::DirectConnection);
    QObject::connect(window.saveDataWorker, &QThread::finished, &context, [&] { handled = true; });
    timer.start();
    if (!window.startFlashBackup(path))
        return -1;
    fixture::waitUntil([&] { return handled; });
    if (window.saveDataWorker->result().outcome != WorkerThreadForSaveData::Outcome::Succeeded)
        std::fprintf(stderr, "backup did not succeed\n");
    return endedAt / 1e6;
}

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

void measure(MainWindow &window, const QString &dir, const char *label) {
    QByteArray image(int(kFlashSize), '\0');
    std::vector<double> bare, bareThread, bareAndFile, worker;
    for (int run = 0; run < kRuns; ++run) {
        bare.push_back(bareLoopMs(window, image));
        bareThread.push_back(bareLoopOnThreadMs(window, image));
        bareAndFile.push_back(bareLoopMs(window, image) +
                              fileWriteMs(dir + QStringLiteral("/plain.bin"), image));
        worker.push_back(workerMs(window, dir + QStringLiteral("/worker.bin")));
    }
    const double workerMedian = median(worker);
    std::printf("%s\n", label);
    std::printf("  worker                          %8.2f ms\n", workerMedian);
    std::printf("  bare loop                       %8.2f ms   ratio %.2f (target 1.10)\n",
                median(bare), workerMedian / median(bare));
    std::printf("  bare loop + the same file write %8.2f ms   ratio %.2f\n", median(bareAndFile),
                workerMedian / median(bareAndFile));
    std::printf("  bare loop on a thread of its own %7.2f ms\n", median(bareThread));
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fixture::attachStandardDevice();
    const auto window = fixture::makeWindow();
    DialogAnswerer answerer; // answers each run's "Save data successfully!"
    QTemporaryDir dir;
    if (!window->hidHandle || !dir.isValid()) {
        std::fprintf(stderr, "no emulated device or no temporary folder\n");
        return 1;
    }
    std::printf("flash backup, 512 KiB, zero-latency emulation, median of %d runs\n", kRuns);
    measure(*window, dir.path(), "debug output as written:");
    const QtMessageHandler previous = qInstallMessageHandler(dropMessage);
    measure(*window, dir.path(), "debug output dropped:");
    qInstallMessageHandler(previous);
    return 0;
}
