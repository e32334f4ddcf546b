#pragma once
// How a block-by-block device job (firmware transfer, flash read-back) reports
// to whoever runs it: the window's worker threads or the command-line tool.

#include <functional>

struct DeviceJobObserver {
    // Polled before each block; true ends the job as Stopped.
    std::function<bool()> stopRequested;
    // Steps 1..5 as blocks go by, then 6 once the whole job succeeded.
    std::function<void(int step)> stepReached;
    // After each block's exchange, unless that exchange ended the job.
    std::function<void(int blocksDone, int totalBlocks)> blockDone;
};
