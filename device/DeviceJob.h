#pragma once
// What the two block-by-block device jobs (firmware transfer, flash
// read-back) share: how they end, how they report to whoever runs them (the
// window's worker threads or the command-line tool), and the loop that takes
// their blocks one exchange at a time and ends them early when the device is
// lost.

#include <QString>
#include <functional>

#include "device/DeviceChannel.h"

enum class JobOutcome { None, Succeeded, BlocksFailed, Stopped, FileError };

struct JobResult {
    JobOutcome outcome = JobOutcome::None;
    int totalBlocks = 0;
    int failedBlocks = 0; // blocks not done: their exchange failed, or never ran
    QString detail;       // what went wrong, for the message to the user
    // Ended early because the device refused kMaxConsecutiveWriteFailures
    // requests in a row.
    bool writesFailing = false;
};

// How a job reports and is stopped; every member may be left empty.
struct DeviceJobObserver {
    // Polled before each block; true ends the job as Stopped.
    std::function<bool()> stopRequested;
    // Steps 1..5 as blocks go by, then 6 once the whole job succeeded.
    std::function<void(int step)> stepReached;
    // After each block's exchange, unless that exchange ended the job.
    std::function<void(int blocksDone, int totalBlocks)> blockDone;
};

// How the blocks of one job went.
struct BlockRun {
    bool stopped = false; // the observer asked to stop before block `blocksRun`
    int blocksRun = 0;    // blocks whose exchange was made
    int failedBlocks = 0; // of those, the ones whose exchange failed
    int firstFailedBlock = -1;
    ExchangeResult firstFailure = ExchangeResult::Ok;
    JobEndCheck::Reason endReason = JobEndCheck::Reason::None; // set when ended early
};

// Runs `exchangeBlock` for blocks 0 .. totalBlocks - 1 in order; after each
// block that did not end the job, tells the observer and calls `afterBlock`
// (which reports progress steps). Ends before a block when the observer asks
// to stop, and after one that JobEndCheck says ends the job.
BlockRun runBlocks(int totalBlocks, const DeviceJobObserver &observer,
                   const std::function<ExchangeResult(int block)> &exchangeBlock,
                   const std::function<void(int block)> &afterBlock);
