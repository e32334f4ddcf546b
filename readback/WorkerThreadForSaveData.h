#pragma once

#include <QThread>
#include <atomic>

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

    // Blocks handled so far in the current run, and in all; readable from any
    // thread while the run goes on.
    int blocksDone() const { return blocksDone_; }
    int totalBlocks() const { return totalBlocks_; }

signals:
    void sigRunUpdateSaveDataProcess(int step);

protected:
    void run() override;

private:
    Result result_;
    std::atomic<int> blocksDone_{0};
    std::atomic<int> totalBlocks_{0};
};
