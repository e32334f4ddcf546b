#include "readback/WorkerThreadForSaveData.h"

#include "ui/MainWindow.h"

WorkerThreadForSaveData::WorkerThreadForSaveData(QObject *parent) : QThread(parent) {}

WorkerThreadForSaveData::Result WorkerThreadForSaveData::result() const {
    return result_;
}

void WorkerThreadForSaveData::run() {
    result_ = Result{};
    readback::ReadObserver observer;
    observer.stopRequested = [this] { return isInterruptionRequested(); };
    blocksDone_ = 0;
    totalBlocks_ = 0;
    observer.blockDone = [this](int done, int total) {
        totalBlocks_ = total;
        blocksDone_ = done;
    };
    observer.stepReached = [this](int step) { emit sigRunUpdateSaveDataProcess(step); };
    result_ =
        readback::backUpFlash(g_mainWindow->deviceChannel(), g_mainWindow->saveDataPath, observer);
}
