#pragma once

#include <QByteArray>
#include <QString>

#include "device/DeviceJobThread.h"
#include "firmware/FirmwareTransfer.h"

// Sends the chosen firmware image to the device on a thread of its own, so
// the window stays responsive; the transfer itself is firmware::sendImage (of
// the bytes Run checked) or firmware::sendImageFile.
// Progress goes out as steps 1..5 and a final 6 that is emitted only when
// every block was acknowledged; how a transfer ended is kept in result().
class WorkerThreadForFW : public DeviceJobThread {
    Q_OBJECT

public:
    explicit WorkerThreadForFW(QObject *parent = nullptr);

    int iLoopTemp = 0;

signals:
    void sigRunUpdateFWProcess(int step);

protected:
    void run() override;
};
