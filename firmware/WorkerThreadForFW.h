#pragma once

#include <QString>
#include <QThread>

class QFile;

// Sends the chosen firmware image to the device in 512-byte blocks, one
// request and one acknowledged reply per block, on a thread of its own.
// Progress goes out as steps 1..5 and a final 6 that is emitted only when
// every block was acknowledged; how a transfer ended is kept in result().
class WorkerThreadForFW : public QThread {
    Q_OBJECT

public:
    enum class Outcome { None, Succeeded, BlocksFailed, Stopped, FileError };

    struct Result {
        Outcome outcome = Outcome::None;
        int totalBlocks = 0;
        int failedBlocks = 0; // blocks whose write or reply failed, or never sent
        QString detail;       // what went wrong, for the message to the user
    };

    explicit WorkerThreadForFW(QObject *parent = nullptr);

    int iLoopTemp = 0;

    // Valid after the thread has finished.
    Result result() const;

signals:
    void sigRunUpdateFWProcess(int step);

protected:
    void run() override;

private:
    // Sends every block of `file`; returns how many the device acknowledged.
    int sendBlocks(QFile &file, qint64 fileSize);
    void reportProgress(int blockIndex, int blocksPerStep, int &nextStepBlock);
    void noteFailure(Outcome outcome, const QString &detail);

    Result result_;
};
