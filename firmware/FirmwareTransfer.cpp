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
    Transfer(DeviceChannel &channel, const TransferObserver &observer)
        : channel_(channel), observer_(observer) {}

    TransferResult run(const QByteArray &image) {
        qDebug("file fileSize:%d", int(image.size()));
        result_.totalBlocks = blockCount(image.size());
        const int acknowledged = sendBlocks(image);
        result_.failedBlocks = result_.totalBlocks - acknowledged;
        if (result_.outcome != Outcome::None)
            return result_;
        if (result_.failedBlocks > 0) {
            result_.outcome = Outcome::BlocksFailed;
            return result_;
        }
        result_.outcome = Outcome::Succeeded;
        if (observer_.stepReached)
            observer_.stepReached(kFinalStep);
        return result_;
    }

private:
    // Sends every block of `image`; returns how many the device acknowledged.
    int sendBlocks(const QByteArray &image) {
        const int blocksPerStep = int(image.size() / kBytesPerStep + 1);
        qDebug("file step:%d", blocksPerStep);
        int nextStepBlock = blocksPerStep;
        int acknowledged = 0;
        Block padded;
        DeviceReport reply; // filled by exchange()
        for (int i = 0; i < result_.totalBlocks; ++i) {
            if (observer_.stopRequested && observer_.stopRequested()) {
                noteFailure(Outcome::Stopped, QString());
                break;
            }
            const uint8_t *data = blockData(image, i, padded);
            const ExchangeResult sent =
                channel_.exchange(report::firmwareBlock(uint32_t(i), data), &reply,
                                  ReplyWait::FirmwareBlock, &lateReplies_);
            if (sent == ExchangeResult::Ok)
                ++acknowledged;
            else
                noteFailure(Outcome::BlocksFailed, describeBlockFailure(sent, i));
            if (const auto reason = jobEnd_.after(sent); reason != JobEndCheck::Reason::None) {
                if (reason == JobEndCheck::Reason::WritesFailing)
                    result_.detail = describeWritesFailing(i);
                break;
            }
            if (observer_.blockDone)
                observer_.blockDone(i + 1, result_.totalBlocks);
            reportProgress(i, blocksPerStep, nextStepBlock);
        }
        return acknowledged;
    }

    void reportProgress(int blockIndex, int blocksPerStep, int &nextStepBlock) {
        if (blockIndex != nextStepBlock)
            return;
        nextStepBlock = blockIndex + blocksPerStep;
        ++stepsSignalled_;
        qDebug("show step:%d iLoopTemp:%d", nextStepBlock, stepsSignalled_);
        if (observer_.stepReached)
            observer_.stepReached(stepsSignalled_);
    }

    // Block failures keep the first one's description; a stop or a file error
    // decides the outcome and says why.
    void noteFailure(Outcome outcome, const QString &detail) {
        if (outcome == Outcome::BlocksFailed) {
            if (result_.detail.isEmpty())
                result_.detail = detail;
            return;
        }
        result_.outcome = outcome;
        result_.detail = detail;
    }

    DeviceChannel &channel_;
    const TransferObserver &observer_;
    TransferResult result_;
    JobEndCheck jobEnd_;
    LateReplyAllowance lateReplies_;
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
    return Transfer(channel, observer).run(image);
}

} // namespace firmware
