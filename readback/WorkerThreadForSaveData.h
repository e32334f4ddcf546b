#pragma once

#include "device/DeviceJobThread.h"
#include "readback/FlashReadback.h"

// Reads the device's whole 512 KiB flash into the chosen file on a thread of
// its own; the read-back itself is readback::backUpFlash. Steps 1..5 are
// emitted as blocks are read; step 6 only once the whole flash was read and
// the file written and closed.
class WorkerThreadForSaveData : public DeviceJobThread {
    Q_OBJECT

public:
    explicit WorkerThreadForSaveData(QObject *parent = nullptr);

signals:
    void sigRunUpdateSaveDataProcess(int step);

protected:
    void run() override;
};
