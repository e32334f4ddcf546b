#include "firmware/WorkerThreadForFW.h"

#include <QDebug>
#include <QFile>
#include <array>

#include "device/DeviceChannel.h"
#include "ui/MainWindow.h"

namespace {

// One progress step is due after every fileSize / 3072 + 1 blocks.
constexpr qint64 kBytesPerStep = 3072;
constexpr int kFinalStep = 6;
// The tail of the last block is filled with what erased flash holds.
constexpr uint8_t kErasedFlashByte = 0xFF;

using Block = std::array<uint8_t, kFirmwareBlockSize>;

int blockCount(qint64 fileSize) {
    return int((fileSize + qint64(kFirmwareBlockSize) - 1) / qint64(kFirmwareBlockSize));
}

// A device that stopped answering or is gone will not take the next block
// either; going on would only wait out one timeout per block.
bool endsTransfer(ExchangeResult result) {
    return result == ExchangeResult::Timeout || result == ExchangeResult::NoDevice;
}

QString describeBlockFailure(ExchangeResult result, int blockIndex) {
    switch (result) {
    case ExchangeResult::Timeout:
        return QStringLiteral("The device stopped answering at block %1.").arg(blockIndex);
    case ExchangeResult::NoDevice:
        return QStringLiteral("The device was no longer connected at block %1.").arg(blockIndex);
    default:
        return QStringLiteral("The first failure was at block %1 (%2).")
            .arg(blockIndex)
            .arg(QString::fromLatin1(exchangeResultName(result)));
    }
}

// Reads block `blockIndex` (the last one may be short) into `block`, padded.
bool readBlock(QFile &file, qint64 fileSize, int blockIndex, Block &block) {
    const qint64 offset = qint64(blockIndex) * qint64(kFirmwareBlockSize);
    const qint64 wanted = qMin<qint64>(qint64(kFirmwareBlockSize), fileSize - offset);
    block.fill(kErasedFlashByte);
    return file.read(reinterpret_cast<char *>(block.data()), wanted) == wanted;
}

QString describeReadFailure(const QFile &file, int blockIndex) {
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("The firmware file cannot be read: %1").arg(file.errorString());
    return QStringLiteral("The firmware file became shorter while it was being sent "
                          "(block %1 could not be read).")
        .arg(blockIndex);
}

} // namespace

WorkerThreadForFW::WorkerThreadForFW(QObject *parent) : QThread(parent), iLoopTemp(0) {}

WorkerThreadForFW::Result WorkerThreadForFW::result() const {
    return result_;
}

void WorkerThreadForFW::run() {
    result_ = Result{};
    const QString path = g_mainWindow->firmwarePath;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        noteFailure(Outcome::FileError,
                    QStringLiteral("The firmware file cannot be read: %1").arg(file.errorString()));
        return;
    }
    const qint64 fileSize = file.size();
    qDebug("file fileSize:%d", int(fileSize));
    result_.totalBlocks = blockCount(fileSize);
    if (fileSize == 0) {
        noteFailure(Outcome::FileError, QStringLiteral("The firmware file is empty."));
        return;
    }
    const int acknowledged = sendBlocks(file, fileSize);
    result_.failedBlocks = result_.totalBlocks - acknowledged;
    if (result_.outcome != Outcome::None)
        return;
    if (result_.failedBlocks > 0) {
        result_.outcome = Outcome::BlocksFailed;
        return;
    }
    result_.outcome = Outcome::Succeeded;
    emit sigRunUpdateFWProcess(kFinalStep);
}

int WorkerThreadForFW::sendBlocks(QFile &file, qint64 fileSize) {
    const int blocksPerStep = int(fileSize / kBytesPerStep + 1);
    qDebug("file step:%d", blocksPerStep);
    int nextStepBlock = blocksPerStep;
    int acknowledged = 0;
    Block block;
    for (int i = 0; i < result_.totalBlocks; ++i) {
        if (isInterruptionRequested()) {
            noteFailure(Outcome::Stopped, QString());
            break;
        }
        if (!readBlock(file, fileSize, i, block)) {
            noteFailure(Outcome::FileError, describeReadFailure(file, i));
            break;
        }
        DeviceReport reply{};
        const ExchangeResult sent =
            g_mainWindow->exchange(report::firmwareBlock(uint32_t(i), block.data()), &reply);
        if (sent == ExchangeResult::Ok)
            ++acknowledged;
        else
            noteFailure(Outcome::BlocksFailed, describeBlockFailure(sent, i));
        if (endsTransfer(sent))
            break;
        reportProgress(i, blocksPerStep, nextStepBlock);
    }
    return acknowledged;
}

void WorkerThreadForFW::reportProgress(int blockIndex, int blocksPerStep, int &nextStepBlock) {
    if (blockIndex != nextStepBlock)
        return;
    nextStepBlock = blockIndex + blocksPerStep;
    ++iLoopTemp;
    qDebug("show step:%d iLoopTemp:%d", nextStepBlock, iLoopTemp);
    emit sigRunUpdateFWProcess(iLoopTemp);
}

// Block failures keep the first one's description; a stop or a file error
// decides the outcome and says why.
void WorkerThreadForFW::noteFailure(Outcome outcome, const QString &detail) {
    if (outcome == Outcome::BlocksFailed) {
        if (result_.detail.isEmpty())
            result_.detail = detail;
        return;
    }
    result_.outcome = outcome;
    result_.detail = detail;
}
