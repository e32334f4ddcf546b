#include "firmware/FirmwareTransfer.h"

#include <QDebug>
#include <QFile>
#include <algorithm>
#include <array>

namespace firmware {
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

QString describeWritesFailing(int blockIndex) {
    return QStringLiteral("The device took none of the last %1 blocks, up to block %2, so the "
                          "update was ended there.")
        .arg(kMaxConsecutiveWriteFailures)
        .arg(blockIndex);
}

// The 512 bytes of block `blockIndex`: read in place, except a short last
// block, which is copied into `padded` and filled up.
const uint8_t *blockData(const QByteArray &image, int blockIndex, Block &padded) {
    const qint64 offset = qint64(blockIndex) * qint64(kFirmwareBlockSize);
    const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData()) + offset;
    const qint64 length = qMin<qint64>(qint64(kFirmwareBlockSize), image.size() - offset);
    if (length == qint64(kFirmwareBlockSize))
        return bytes;
    std::fill(std::copy(bytes, bytes + length, padded.begin()), padded.end(), kErasedFlashByte);
    return padded.data();
}

class Transfer {
public:
    explicit Transfer(const TransferObserver &observer) : observer_(observer) {}

    TransferResult run(DeviceChannel &channel, const QByteArray &image) {
        qDebug("file fileSize:%d", int(image.size()));
        TransferResult result;
        result.totalBlocks = blockCount(image.size());
        const BlockRun blocks = sendBlocks(channel, image, result.totalBlocks);
        result.failedBlocks = result.totalBlocks - (blocks.blocksRun - blocks.failedBlocks);
        if (blocks.stopped) {
            result.outcome = Outcome::Stopped;
            return result;
        }
        if (blocks.failedBlocks > 0)
            result.detail = describeBlockFailure(blocks.firstFailure, blocks.firstFailedBlock);
        if (blocks.endReason == JobEndCheck::Reason::WritesFailing)
            result.detail = describeWritesFailing(blocks.blocksRun - 1);
        if (result.failedBlocks > 0) {
            result.outcome = Outcome::BlocksFailed;
            return result;
        }
        result.outcome = Outcome::Succeeded;
        if (observer_.stepReached)
            observer_.stepReached(kFinalStep);
        return result;
    }

private:
    BlockRun sendBlocks(DeviceChannel &channel, const QByteArray &image, int totalBlocks) {
        const int blocksPerStep = int(image.size() / kBytesPerStep + 1);
        qDebug("file step:%d", blocksPerStep);
        int nextStepBlock = blocksPerStep;
        Block padded;
        DeviceReport reply; // filled by exchange()
        LateReplyAllowance lateReplies;
        const auto sendBlock = [&](int i) {
            return channel.exchange(report::firmwareBlock(uint32_t(i), blockData(image, i, padded)),
                                    &reply, ReplyWait::FirmwareBlock, &lateReplies);
        };
        const auto reportProgress = [&](int i) {
            if (i != nextStepBlock)
                return;
            nextStepBlock = i + blocksPerStep;
            ++stepsSignalled_;
            qDebug("show step:%d iLoopTemp:%d", nextStepBlock, stepsSignalled_);
            if (observer_.stepReached)
                observer_.stepReached(stepsSignalled_);
        };
        return runBlocks(totalBlocks, observer_, sendBlock, reportProgress);
    }

    const TransferObserver &observer_;
    int stepsSignalled_ = 0;
};

} // namespace

QString loadImage(const QString &path, QByteArray &image) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("The firmware file cannot be read: %1").arg(file.errorString());
    const qint64 fileSize = file.size();
    if (fileSize == 0)
        return QStringLiteral("The firmware file is empty.");
    if (fileSize > qint64(kFlashSize))
        return QStringLiteral("The firmware file is too large: %1 bytes, but the device holds "
                              "at most %2 bytes.")
            .arg(fileSize)
            .arg(qint64(kFlashSize));
    image = file.read(fileSize);
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("The firmware file cannot be read: %1").arg(file.errorString());
    if (image.size() != fileSize)
        return QStringLiteral("The firmware file became shorter while it was being read.");
    return QString();
}

// The sentence for a transfer that did not succeed; empty for one that did.
QString failureText(const TransferResult &result) {
    switch (result.outcome) {
    case Outcome::BlocksFailed: {
        QString text = QStringLiteral("Firmware update failed: %1 of %2 blocks were not "
                                      "acknowledged by the device.")
                           .arg(result.failedBlocks)
                           .arg(result.totalBlocks);
        if (!result.detail.isEmpty())
            text += QLatin1Char(' ') + result.detail;
        return text;
    }
    case Outcome::Stopped:
        return QStringLiteral("Firmware update stopped: %1 of %2 blocks were not sent or not "
                              "acknowledged.")
            .arg(result.failedBlocks)
            .arg(result.totalBlocks);
    case Outcome::FileError:
        return result.detail;
    case Outcome::None:
    case Outcome::Succeeded:
        break;
    }
    return QString();
}

TransferResult sendImageFile(DeviceChannel &channel, const QString &path,
                             const TransferObserver &observer) {
    QByteArray image;
    const QString problem = loadImage(path, image);
    if (!problem.isEmpty()) {
        TransferResult result;
        result.outcome = Outcome::FileError;
        result.detail = problem;
        return result;
    }
    return sendImage(channel, image, observer);
}

TransferResult sendImage(DeviceChannel &channel, const QByteArray &image,
                         const TransferObserver &observer) {
    return Transfer(observer).run(channel, image);
}

} // namespace firmware
