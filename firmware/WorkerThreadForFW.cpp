#include "firmware/WorkerThreadForFW.h"

#include <utility>

#include "ui/MainWindow.h"

namespace {

constexpr int kFinalStep = 6;

} // namespace

WorkerThreadForFW::WorkerThreadForFW(QObject *parent) : DeviceJobThread(parent), iLoopTemp(0) {}

void WorkerThreadForFW::run() {
    // The bytes Run checked, when it handed them over; else the file as it is now.
    const QByteArray image = std::exchange(g_mainWindow->firmwareImage, QByteArray());
    const auto transfer = [&image](const DeviceJobObserver &observer) {
        DeviceChannel &channel = g_mainWindow->deviceChannel();
        return image.isEmpty()
                   ? firmware::sendImageFile(channel, g_mainWindow->firmwarePath, observer)
                   : firmware::sendImage(channel, image, observer);
    };
    runJob(QLatin1String(firmware::kJobName), transfer, [this](int step) {
        if (step != kFinalStep) // iLoopTemp counts the intermediate steps
            iLoopTemp = step;
        emit sigRunUpdateFWProcess(step);
    });
}
