#include "device/DeviceJobThread.h"

#include "device/SleepInhibitor.h"

void DeviceJobThread::runJob(const QString &what, const Job &job,
                             const std::function<void(int step)> &onStep) {
    result_ = Result{};
    blocksDone_ = 0;
    totalBlocks_ = 0;
    DeviceJobObserver observer;
    observer.stopRequested = [this] { return isInterruptionRequested(); };
    observer.blockDone = [this](int done, int total) {
        totalBlocks_ = total;
        blocksDone_ = done;
    };
    observer.stepReached = onStep;
    // Released when the job ends, however it ends.
    const SleepInhibitor inhibitor(what);
    result_ = job(observer);
}
