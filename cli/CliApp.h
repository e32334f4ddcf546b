#pragma once
// corvane-cli: the accessory from a terminal. Everything but main() lives in
// the library, so the emulated twin and the benchmark run the same code.

// Exit codes, as documented in --help and the manual page.
enum CliExit {
    kExitDone = 0,
    kExitDeviceFailed = 1, // not acknowledged, no answer, removed; resolving failed
    kExitUsage = 2,        // bad options or arguments, unusable files
    kExitNoAccessory = 3,
    kExitPermission = 4,
    kExitBusy = 5, // another program's job holds the accessory
};

// Parses the arguments and runs one command; returns the exit code. Builds
// its own QCoreApplication when none exists.
int runCli(int argc, char **argv);
