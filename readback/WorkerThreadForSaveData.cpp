#include "readback/WorkerThreadForSaveData.h"

#include "ui/MainWindow.h"

WorkerThreadForSaveData::WorkerThreadForSaveData(QObject *parent) : DeviceJobThread(parent) {}

void WorkerThreadForSaveData::run() {
    const auto backup = [](const DeviceJobObserver &observer) {
        return readback::backUpFlash(g_mainWindow->deviceChannel(), g_mainWindow->saveDataPath,
                                     observer);
    };
    runJob(QLatin1String(readback::kJobName), backup,
           [this](int step) { emit sigRunUpdateSaveDataProcess(step); });
}
