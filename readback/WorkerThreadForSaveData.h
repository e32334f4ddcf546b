#pragma once

#include <QThread>

#include "readback/FlashReadback.h"

// Reads the device's whole 512 KiB flash into the chosen file on a thread of
// its own; the read-back itself is readback::backUpFlash. Steps 1..5 are
// emitted as blocks are read; step 6 only once the whole flash was read and
// the file written and closed.
class WorkerThreadForSaveData : public QThread {
    Q_OBJECT

public:
    using Outcome = readback::Outcome;
    using Result = readback::BackupResult;

    explicit WorkerThreadForSaveData(QObject *parent = nullptr);

    // Valid after the thread has finished.
    Result result() const;

signals:
    void sigRunUpdateSaveDataProcess(int step);

protected:
    void run() override;

private:
    Result result_;
};
