#include "cli/CliTerminal.h"

#include <QFile>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#ifdef Q_OS_UNIX
#include <pthread.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#endif

namespace cli {
namespace {

// More than any value the program takes (an address, an ID, a PIN); the rest
// of a longer line is read and dropped, so hostile input cannot exhaust memory.
constexpr std::size_t kMaxLineBytes = 1 << 20;
// Piped input is read up to this much, never whole.
constexpr qint64 kMaxInputBytes = 64 * 1024;

std::atomic<int> g_policy{int(StopPolicy::AtOnce)};
std::atomic<bool> g_stop{false};
std::atomic<int> g_signal{0};

#ifdef Q_OS_UNIX
// The terminal settings in force before a prompt turned echo off; put back
// before the program ends on a signal.
std::atomic<bool> g_terminalSaved{false};
termios g_savedTerminal{};

const char *const kUpdateWarning =
    "\ncorvane-cli: a firmware update is running; stopping it now can leave the accessory "
    "unusable (a half-written image). Press Ctrl-C again within 3 seconds to stop anyway.\n";

void writeError(const char *text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

[[noreturn]] void exitStopped(int signalNumber) {
    if (g_terminalSaved)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    writeError("\ncorvane-cli: stopped\n");
    // Not exit(): the main thread is still running and owns what static
    // destructors would tear down.
    _exit(128 + signalNumber);
}

// Stops the whole program the way Ctrl-Z does by default, returning only once
// it is continued. The signal goes to this thread alone: one sent to the
// process is taken by another thread, and this one would run on before the
// stop reaches it. In an orphaned process group, where nobody could continue
// the program, the kernel drops the stop and this returns at once.
void stopThisProgram() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

// Ctrl-Z: the terminal as it was while stopped (the shell shows what is
// typed), and echo off again on continuing if a secret is still being read.
void stopWithTerminalRestored() {
    const bool quiet = g_terminalSaved;
    if (quiet)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    stopThisProgram();
    if (quiet && g_terminalSaved) {
        termios silent = g_savedTerminal;
        silent.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    }
}

// The signals are blocked in every thread and taken here, so a Ctrl-C never
// interrupts a device read or a prompt half-way (EINTR).
void watchSignals(sigset_t watched) {
    double lastWarning = -1e9;
    for (;;) {
        int number = 0;
        if (sigwait(&watched, &number) != 0)
            continue;
        if (number == SIGTSTP) {
            stopWithTerminalRestored();
            continue;
        }
        if (number == SIGQUIT || number == SIGHUP)
            exitStopped(number); // gives the terminal back first
        const auto policy = StopPolicy(g_policy.load());
        if (policy == StopPolicy::AtOnce || g_stop)
            exitStopped(number);
        if (policy == StopPolicy::Confirmed && number == SIGINT) {
            const double now = monotonicSeconds();
            if (now - lastWarning > kConfirmSeconds) {
                lastWarning = now;
                writeError(kUpdateWarning);
                continue;
            }
        }
        g_signal = number;
        g_stop = true;
    }
}

void startWatching() {
    sigset_t watched;
    sigemptyset(&watched);
    for (const int number : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGTSTP})
        sigaddset(&watched, number);
    // Threads started from here on inherit the mask.
    pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    std::thread(watchSignals, watched).detach();
}
#else
void requestStop(int signalNumber) {
    g_signal = signalNumber;
    g_stop = true;
    std::signal(signalNumber, SIG_DFL);
}

void startWatching() {
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
}
#endif

} // namespace

void handleStops(StopPolicy policy) {
    static std::once_flag started;
    g_policy = int(policy);
    g_stop = false;
    g_signal = 0;
    std::call_once(started, startWatching);
}

bool stopRequested() {
    return g_stop.load();
}

int stoppedExitCode() {
    const int number = g_signal.load();
    return 128 + (number ? number : SIGINT);
}

bool stdinIsTerminal() {
#ifdef Q_OS_UNIX
    return isatty(STDIN_FILENO) == 1;
#else
    return false;
#endif
}

std::optional<QString> readInputLine(const QString &prompt, bool secret) {
#ifdef Q_OS_UNIX
    const bool terminal = stdinIsTerminal();
    termios saved{};
    bool echoOff = false;
    if (terminal) {
        // Echo goes off before the prompt shows, so nothing typed after the
        // prompt is echoed or flushed away.
        if (secret && tcgetattr(STDIN_FILENO, &saved) == 0) {
            g_savedTerminal = saved;
            g_terminalSaved = true;
            termios quiet = saved;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            echoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
        std::fputs(prompt.toUtf8().constData(), stderr);
        std::fflush(stderr);
    }
#else
    Q_UNUSED(prompt);
    Q_UNUSED(secret);
#endif
    std::string line;
    bool readSomething = false;
    qint64 consumed = 0;
    for (int c = std::getchar(); c != EOF && consumed++ < kMaxInputBytes; c = std::getchar()) {
        readSomething = true;
        if (c == '\n')
            break;
        if (line.size() < kMaxLineBytes)
            line.push_back(char(c));
    }
#ifdef Q_OS_UNIX
    if (echoOff) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        g_terminalSaved = false;
        std::fputc('\n', stderr); // the Enter the user typed was not echoed
    }
#endif
    if (!readSomething)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return QString::fromLocal8Bit(line.data(), int(line.size()));
}

QByteArray readAllInput() {
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return QByteArray();
    return input.read(kMaxInputBytes);
}

} // namespace cli
