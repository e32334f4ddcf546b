#include "firmware/WorkerThreadForFW.h"

#include "ui/MainWindow.h"

namespace {

constexpr int kFinalStep = 6;

} // namespace

WorkerThreadForFW::WorkerThreadForFW(QObject *parent) : DeviceJobThread(parent), iLoopTemp(0) {}

void WorkerThreadForFW::run() {
    const auto transfer = [](const DeviceJobObserver &observer) {
        return firmware::sendImageFile(g_mainWindow->deviceChannel(), g_mainWindow->firmwarePath,
                                       observer);
    };
    runJob(transfer, [this](int step) {
        if (step != kFinalStep) // iLoopTemp counts the intermediate steps
            iLoopTemp = step;
        emit sigRunUpdateFWProcess(step);
    });
}
