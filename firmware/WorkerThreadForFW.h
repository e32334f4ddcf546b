#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

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

    // Reads the whole image at `path` into `image`; returns why it cannot be
    // sent (unreadable, empty, larger than the flash), or an empty string.
    // The transfer reads it this way before the first block goes out, so a
    // file that cannot be read completely never leaves a partly written flash.
    static QString loadImage(const QString &path, QByteArray &image);

signals:
    void sigRunUpdateFWProcess(int step);

protected:
    void run() override;

private:
    // Sends every block of `image`; returns how many the device acknowledged.
    int sendBlocks(const QByteArray &image);
    void reportProgress(int blockIndex, int blocksPerStep, int &nextStepBlock);
    void noteFailure(Outcome outcome, const QString &detail);

    Result result_;
};
