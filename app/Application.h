#pragma once

// Runs the program: single-instance guard, the main window, the event loop.
// Returns the process exit code (-1 when another instance is running).
int runCorvane(int &argc, char **argv);
