#pragma once

#include <functional>

// Runs the program: single-instance guard, the main window, the event loop.
// Returns the process exit code (-1 when another instance is running).
// `onApplicationCreated`, when given, runs right after the application object
// exists (the emulated build uses it to set up its demo hooks).
// The exit code of a start refused because another instance runs.
inline constexpr int kAlreadyRunningExitCode = -1;

int runCorvane(int &argc, char **argv, const std::function<void()> &onApplicationCreated = {});
