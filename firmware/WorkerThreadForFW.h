#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>
#include <atomic>

#include "firmware/FirmwareTransfer.h"

// Sends the chosen firmware image to the device on a thread of its own, so
// the window stays responsive; the transfer itself is firmware::sendImageFile.
// Progress goes out as steps 1..5 and a final 6 that is emitted only when
// every block was acknowledged; how a transfer ended is kept in result().
class WorkerThreadForFW : public QThread {
    Q_OBJECT

public:
    using Outcome = firmware::Outcome;
    using Result = firmware::TransferResult;

    explicit WorkerThreadForFW(QObject *parent = nullptr);

    int iLoopTemp = 0;

    // Valid after the thread has finished.
    Result result() const;

    // Blocks handled so far in the current run, and in all; readable from any
    // thread while the run goes on.
    int blocksDone() const { return blocksDone_; }
    int totalBlocks() const { return totalBlocks_; }

    // See firmware::loadImage.
    static QString loadImage(const QString &path, QByteArray &image) {
        return firmware::loadImage(path, image);
    }

signals:
    void sigRunUpdateFWProcess(int step);

protected:
    void run() override;

private:
    Result result_;
    std::atomic<int> blocksDone_{0};
    std::atomic<int> totalBlocks_{0};
};
