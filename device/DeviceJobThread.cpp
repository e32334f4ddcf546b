#include "device/DeviceJobThread.h"

void DeviceJobThread::runJob(const Job &job, const std::function<void(int step)> &onStep) {
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
    result_ = job(observer);
}
