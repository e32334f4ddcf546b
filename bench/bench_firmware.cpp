// Firmware transfer costs: the worker against a bare request loop on the same
// emulated accessory, and how long the window's event loop stalls meanwhile.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "firmware/WorkerThreadForFW.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"

namespace {

constexpr int kRounds = 21;
constexpr double kRatioTarget = 1.10;
constexpr double kStallTargetMs = 20.0;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QByteArray makeImage() {
    QByteArray image(int(kFlashSize), Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 31 + (i >> 9)) & 0xFF);
    return image;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct WorkerTiming {
    double totalMs = 0;   // start() until wait() returns
    double startupMs = 0; // start() until the new thread runs
    double runMs = 0;     // the thread's own work, reading the image included
};

// The worker's whole run, started and awaited the way the window does it.
WorkerTiming timeWorker(MainWindow &window) {
    QElapsedTimer clock;
    std::atomic<qint64> startedNs{0};
    std::atomic<qint64> endedNs{0};
    // Both run on the worker thread, right before and right after run().
    const auto onStarted = QObject::connect(
        window.fwWorker, &QThread::started, window.fwWorker,
        [&] { startedNs = clock.nsecsElapsed(); }, Qt::DirectConnection);
    const auto onFinished = QObject::connect(
        window.fwWorker, &QThread::finished, window.fwWorker,
        [&] { endedNs = clock.nsecsElapsed(); }, Qt::DirectConnection);
    clock.start();
    window.fwWorker->iLoopTemp = 0;
    window.fwWorker->start(QThread::InheritPriority);
    window.fwWorker->wait();
    WorkerTiming timing;
    timing.totalMs = clock.nsecsElapsed() / 1e6;
    timing.startupMs = startedNs / 1e6;
    timing.runMs = (endedNs - startedNs) / 1e6;
    QObject::disconnect(onStarted);
    QObject::disconnect(onFinished);
    // Let the window take the steps and answer its success box outside the timing.
    QCoreApplication::processEvents();
    return timing;
}

double timeImageRead(const QString &path) {
    QElapsedTimer timer;
    timer.start();
    QByteArray image;
    firmware::loadImage(path, image);
    return timer.nsecsElapsed() / 1e6;
}

// The same 1024 requests, built and exchanged with nothing around them.
double timeBareLoop(const QByteArray &image) {
    hid_device *handle = hid_open_path(fixture::kDevicePath.c_str());
    if (!handle)
        return -1;
    const auto *data = reinterpret_cast<const uint8_t *>(image.constData());
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kFlashBlockCount; ++i) {
        const DeviceReport request =
            report::firmwareBlock(uint32_t(i), data + std::size_t(i) * kFirmwareBlockSize);
        DeviceReport reply{};
        if (hid_write(handle, request.data(), request.size()) < 0 ||
            hid_read_timeout(handle, reply.data(), reply.size(), kFirmwareBlockReplyMs) <= 0)
            std::printf("bare loop: block %d failed\n", i);
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    hid_close(handle);
    return ms;
}

void benchTransfer(MainWindow &window, const QByteArray &image) {
    std::vector<double> worker, startup, run, imageRead, bare;
    for (int round = 0; round < kRounds; ++round) {
        // The emulator logs every request; starting each run from an empty log
        // keeps its growth from being charged to whichever side runs later.
        emu::clearRequestLog();
        const WorkerTiming timing = timeWorker(window);
        worker.push_back(timing.totalMs);
        startup.push_back(timing.startupMs);
        run.push_back(timing.runMs);
        imageRead.push_back(timeImageRead(window.firmwarePath));
        emu::clearRequestLog();
        bare.push_back(timeBareLoop(image));
    }
    const double workerMs = median(worker);
    const double bareMs = median(bare);
    std::printf("firmware transfer: worker %.2f ms, bare loop %.2f ms, ratio %.2f "
                "(target <= %.2f; medians of %d runs, 1024 blocks, zero reply delay)\n",
                workerMs, bareMs, workerMs / bareMs, kRatioTarget, kRounds);
    const double loopMs = median(run) - median(imageRead);
    std::printf("  worker breakdown: thread start %.3f ms, run() %.3f ms = reading the image "
                "%.3f ms + block loop %.3f ms (block loop / bare loop %.2f)\n",
                median(startup), median(run), median(imageRead), loopMs, loopMs / bareMs);
}

// Largest gap between ticks of a 1 ms timer while the worker sends the image.
void benchEventLoopStall(MainWindow &window) {
    emu::setReplyDelayMs(fixture::kDevicePath, 1);
    std::atomic<bool> transferring{true};
    // Runs on the worker thread: the transfer is over once it reports step 6.
    QObject::connect(
        window.fwWorker, &WorkerThreadForFW::sigRunUpdateFWProcess, window.fwWorker,
        [&](int step) { transferring = step != 6; }, Qt::DirectConnection);
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestGapNs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (transferring)
            longestGapNs = std::max(longestGapNs, now - lastTick);
        lastTick = now;
    });
    clock.start();
    ticker.start(1);
    window.slotPushButtonRunUpdateFW();
    QElapsedTimer transfer;
    transfer.start();
    fixture::waitUntil([&] { return !transferring; }, 60000);
    const double transferMs = transfer.nsecsElapsed() / 1e6;
    fixture::waitUntil([&] { return !window.fwWorker->isRunning(); });
    QCoreApplication::processEvents();
    ticker.stop();
    std::printf("event loop during transfer (1 ms reply delay, %.0f ms): longest stall "
                "%.1f ms (target < %.0f ms)\n",
                transferMs, longestGapNs / 1e6, kStallTargetMs);
    emu::setReplyDelayMs(fixture::kDevicePath, 0);
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    fixture::attachStandardDevice();
    QTemporaryDir dir;
    const QByteArray image = makeImage();
    const QString path = dir.filePath(QStringLiteral("bench.bin"));
    if (!writeFile(path, image)) {
        std::printf("cannot write %s\n", qPrintable(path));
        return 1;
    }
    DialogAnswerer answerer; // accepts each success box
    auto window = fixture::makeWindow();
    window->firmwarePath = path;
    benchTransfer(*window, image);
    benchEventLoopStall(*window);
    if (emu::misuseCount() != 0 || emu::protocolErrors() != 0)
        std::printf("warning: %d emulator misuse(s), %d protocol error(s)\n", emu::misuseCount(),
                    emu::protocolErrors());
    return 0;
}
