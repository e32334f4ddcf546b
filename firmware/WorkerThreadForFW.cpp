#include "firmware/WorkerThreadForFW.h"

#include "ui/MainWindow.h"

namespace {

constexpr int kFinalStep = 6;

} // namespace

WorkerThreadForFW::WorkerThreadForFW(QObject *parent) : QThread(parent), iLoopTemp(0) {}

WorkerThreadForFW::Result WorkerThreadForFW::result() const {
    return result_;
}

void WorkerThreadForFW::run() {
    result_ = Result{};
    firmware::TransferObserver observer;
    observer.stopRequested = [this] { return isInterruptionRequested(); };
    blocksDone_ = 0;
    totalBlocks_ = 0;
    observer.blockDone = [this](int done, int total) {
        totalBlocks_ = total;
        blocksDone_ = done;
    };
    observer.stepReached = [this](int step) {
        if (step != kFinalStep) // iLoopTemp counts the intermediate steps
            iLoopTemp = step;
        emit sigRunUpdateFWProcess(step);
    };
    result_ = firmware::sendImageFile(g_mainWindow->deviceChannel(), g_mainWindow->firmwarePath,
                                      observer);
}
