#pragma once

#include <QThread>

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
    Result result_;
};
