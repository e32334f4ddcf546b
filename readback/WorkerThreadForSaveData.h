#pragma once

#include <QThread>
#include <cstdint>

#include "device/DeviceChannel.h"

// Reads the device's whole 512 KiB flash, block by block, and writes it to the
// chosen file. Steps 1..5 are emitted as blocks are read; step 6 only once the
// whole flash was read and the file written and closed.
class WorkerThreadForSaveData : public QThread {
    Q_OBJECT

public:
    enum class Outcome { None, Succeeded, BlocksFailed, Stopped, FileError };

    struct Result {
        Outcome outcome = Outcome::None;
        int failedBlocks = 0;
        QString detail; // what went wrong, for the message to the user
    };

    explicit WorkerThreadForSaveData(QObject *parent = nullptr);

    // Valid after the thread has finished.
    Result result() const;

signals:
    void sigRunUpdateSaveDataProcess(int step);

protected:
    void run() override;

private:
    struct ReadSummary {
        bool interrupted = false;
        int failedBlocks = 0; // blocks left zero in the image
        QString firstFailure; // which block failed first, and how
    };

    // Fills the 512 KiB `image`; stops early when interrupted or when the
    // device stopped answering (the blocks not read then count as failed).
    ReadSummary readWholeFlash(uint8_t *image);
    ExchangeResult readBlock(int block, uint8_t *image);
    void finish(Outcome outcome, int failedBlocks, const QString &detail);

    Result result_;
};
