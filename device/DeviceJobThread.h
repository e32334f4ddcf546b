#pragma once

#include <QThread>
#include <atomic>
#include <functional>

#include "device/DeviceJob.h"

// What the window's two job threads (WorkerThreadForFW, WorkerThreadForSaveData)
// share: the result of the last run, the block counters the progress tips
// read, a stop from the window (requestInterruption) between blocks, and
// sleep and shutdown held off for as long as the job runs.
class DeviceJobThread : public QThread {
public:
    using Outcome = JobOutcome;
    using Result = JobResult;

    using QThread::QThread;

    // Valid after the thread has finished.
    Result result() const { return result_; }

    // Blocks handled so far in the current run, and in all; readable from any
    // thread while the run goes on.
    int blocksDone() const { return blocksDone_; }
    int totalBlocks() const { return totalBlocks_; }

protected:
    using Job = std::function<Result(const DeviceJobObserver &observer)>;
    // Runs `job` on this thread, handing each progress step to `onStep`;
    // `what` names the job to the desktop while it holds off sleep.
    void runJob(const QString &what, const Job &job, const std::function<void(int step)> &onStep);

private:
    Result result_;
    std::atomic<int> blocksDone_{0};
    std::atomic<int> totalBlocks_{0};
};
