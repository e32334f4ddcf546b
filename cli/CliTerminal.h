#pragma once
// How corvane-cli meets its user at the terminal: Ctrl-C and termination
// requests, and values read from standard input (with a prompt on a terminal).

#include <QString>
#include <optional>

namespace cli {

// What a Ctrl-C (SIGINT) or a termination request (SIGTERM) does.
enum class StopPolicy {
    // Say "stopped" and exit with 128 + the signal's number (130 for Ctrl-C).
    AtOnce,
    // A job with blocks: the first signal ends it before its next block, the
    // second one acts at once.
    BetweenBlocks,
    // A firmware update: a half-written image can leave the accessory
    // unusable, so a first Ctrl-C only warns; a second one within
    // kConfirmSeconds stops between blocks. SIGTERM stops between blocks.
    Confirmed,
};

inline constexpr int kConfirmSeconds = 3;

// Takes over SIGINT and SIGTERM for the rest of the process (the first call)
// and applies `policy` from now on.
void handleStops(StopPolicy policy);

// True once a signal asked the running job to stop between blocks.
bool stopRequested();

// 128 + the number of the signal that stopped the job (130 for Ctrl-C).
int stoppedExitCode();

// A line of standard input without its line end; nullopt at end of input with
// nothing read. On a terminal `prompt` goes to standard error first, and with
// `secret` the typed text is not echoed (the terminal is restored afterwards,
// also when the user presses Ctrl-C).
std::optional<QString> readInputLine(const QString &prompt, bool secret);

// All of standard input (for input that is not a terminal).
QByteArray readAllInput();

bool stdinIsTerminal();

} // namespace cli
