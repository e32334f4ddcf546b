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
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

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

struct PipedRun {
    double ms = 0;
    qint64 taken = 0; // bytes the pipe took before the tool ended
};

// corvane-cli-emulated with `arguments`, `inputBytes` of one endless line
// piped to its standard input: how much of it the tool takes, and how long.
// (Its peak memory cannot be told apart here: a spawned child's maximum
// resident size starts at this benchmark's own.)
PipedRun pipeInto(const std::vector<const char *> &arguments, qint64 inputBytes) {
    PipedRun run;
    int input[2];
    if (pipe(input) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    std::vector<char *> argv{const_cast<char *>(CORVANE_CLI_EMULATED_BINARY)};
    for (const char *argument : arguments)
        argv.push_back(const_cast<char *>(argument));
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    if (spawned != 0) {
        close(input[1]);
        return run;
    }
    const QByteArray chunk(64 * 1024, '1');
    while (run.taken < inputBytes) {
        const ssize_t written = write(input[1], chunk.constData(), size_t(chunk.size()));
        if (written <= 0)
            break; // EPIPE: the tool has stopped reading and ended
        run.taken += written;
    }
    close(input[1]);
    int status = 0;
    waitpid(child, &status, 0);
    run.ms = clock.nsecsElapsed() / 1e6;
    return run;
}

// Piped input is read up to 64 KiB, never whole: the pipe takes that and its
// own buffer (64 KiB on Linux), then the tool ends.
void reportPipedInput() {
    constexpr qint64 kInputBytes = 100LL * 1024 * 1024;
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("100 MB piped in without a line end (target: about 0.1 MB taken):\n");
    const std::pair<const char *, std::vector<const char *>> runs[] = {
        {"set --pin -", {"set", "--pin", "-"}},
        {"resolve", {"resolve"}},
    };
    for (const auto &[name, arguments] : runs) {
        const PipedRun piped = pipeInto(arguments, kInputBytes);
        std::printf("  %s: %.2f MB taken, ended after %.1f ms\n", name,
                    double(piped.taken) / (1024 * 1024), piped.ms);
    }
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
    reportPipedInput();
    if (emu::misuseCount() != 0 || emu::protocolErrors() != 0)
        std::printf("warning: %d emulator misuse(s), %d protocol error(s)\n", emu::misuseCount(),
                    emu::protocolErrors());
    return 0;
}
