// corvane-cli's firmware update against the window's worker: the same image to
// the same emulated accessory at the same reply delay, rounds alternating.
// The CLI side is its flash command run in this process (argument parsing,
// open, lock, transfer, progress lines, re-identification); the whole
// corvane-cli-emulated process, start-up included, is printed for reference.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "cli/CliApp.h"
#include "firmware/WorkerThreadForFW.h"
#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"

namespace {

constexpr int kRounds = 9;
constexpr int kReplyDelayMs = 1;
constexpr int kImageBytes = 256 * 1024;
constexpr double kRatioTarget = 1.02;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QByteArray makeImage() {
    QByteArray image(kImageBytes, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 31 + (i >> 9)) & 0xFF);
    return image;
}

void attachDelayedDevice() {
    fixture::attachStandardDevice();
    emu::setReplyDelayMs(fixture::kDevicePath, kReplyDelayMs);
}

// Start to end of the worker's thread, as the window runs it after Run.
double timeWorker(const QString &image) {
    attachDelayedDevice();
    auto window = fixture::makeWindow();
    window->firmwarePath = image;
    QElapsedTimer clock;
    clock.start();
    window->fwWorker->iLoopTemp = 0;
    window->fwWorker->start(QThread::InheritPriority);
    window->fwWorker->wait();
    const double ms = clock.nsecsElapsed() / 1e6;
    if (window->fwWorker->result().outcome != WorkerThreadForFW::Outcome::Succeeded)
        std::printf("worker: transfer failed\n");
    QCoreApplication::processEvents(); // the success box, outside the timing
    return ms;
}

// The flash command from argument parsing to its last line, output discarded.
double timeCliCommand(const QString &image) {
    attachDelayedDevice();
    QByteArray imageArgument = image.toLocal8Bit();
    char program[] = "corvane-cli";
    char command[] = "flash";
    char *argv[] = {program, command, imageArgument.data(), nullptr};
    std::fflush(stdout);
    const int savedOut = dup(1);
    const int savedErr = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    QElapsedTimer clock;
    clock.start();
    const int code = runCli(3, argv);
    const double ms = clock.nsecsElapsed() / 1e6;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    for (int fd : {savedOut, savedErr, null})
        close(fd);
    if (code != 0)
        std::printf("cli: exit code %d\n", code);
    return ms;
}

double timeCliProcess(const QString &image) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORVANE_EMULATOR_REPLY_DELAY_MS"), QString::number(kReplyDelayMs));
    process.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(CORVANE_CLI_EMULATED_BINARY), {QStringLiteral("flash"), image});
    process.waitForFinished(120000);
    const double ms = clock.nsecsElapsed() / 1e6;
    if (process.exitCode() != 0)
        std::printf("cli process: exit code %d\n", process.exitCode());
    return ms;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir dir;
    // Lock files of this run only.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const QString image = dir.filePath(QStringLiteral("bench.bin"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || file.write(makeImage()) != kImageBytes) {
        std::printf("cannot write %s\n", qPrintable(image));
        return 1;
    }
    file.close();
    DialogAnswerer answerer;
    std::vector<double> worker, command, process;
    for (int round = 0; round < kRounds; ++round) {
        worker.push_back(timeWorker(image));
        command.push_back(timeCliCommand(image));
        process.push_back(timeCliProcess(image));
    }
    const double workerMs = median(worker);
    const double commandMs = median(command);
    std::printf("firmware update, %d blocks at %d ms reply delay (medians of %d rounds):\n"
                "  window worker %.1f ms, corvane-cli flash %.1f ms, ratio %.3f "
                "(target <= %.2f)\n"
                "  whole corvane-cli-emulated process, start-up included: %.1f ms\n",
                kImageBytes / 512, kReplyDelayMs, kRounds, workerMs, commandMs,
                commandMs / workerMs, kRatioTarget, median(process));
    if (emu::misuseCount() != 0 || emu::protocolErrors() != 0)
        std::printf("warning: %d emulator misuse(s), %d protocol error(s)\n", emu::misuseCount(),
                    emu::protocolErrors());
    return 0;
}
