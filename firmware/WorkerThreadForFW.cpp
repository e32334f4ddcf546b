#include "firmware/WorkerThreadForFW.h"

#include <QDebug>
#include <QFile>
#include <algorithm>
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

} // namespace

WorkerThreadForFW::WorkerThreadForFW(QObject *parent) : QThread(parent), iLoopTemp(0) {}

WorkerThreadForFW::Result WorkerThreadForFW::result() const {
    return result_;
}

QString WorkerThreadForFW::loadImage(const QString &path, QByteArray &image) {
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

void WorkerThreadForFW::run() {
    result_ = Result{};
    const QString path = g_mainWindow->firmwarePath;
    QByteArray image;
    const QString problem = loadImage(path, image);
    if (!problem.isEmpty()) {
        noteFailure(Outcome::FileError, problem);
        return;
    }
    qDebug("file fileSize:%d", int(image.size()));
    result_.totalBlocks = blockCount(image.size());
    const int acknowledged = sendBlocks(image);
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

int WorkerThreadForFW::sendBlocks(const QByteArray &image) {
    const int blocksPerStep = int(image.size() / kBytesPerStep + 1);
    qDebug("file step:%d", blocksPerStep);
    int nextStepBlock = blocksPerStep;
    int acknowledged = 0;
    Block padded;
    DeviceReport reply; // filled by exchange()
    for (int i = 0; i < result_.totalBlocks; ++i) {
        if (isInterruptionRequested()) {
            noteFailure(Outcome::Stopped, QString());
            break;
        }
        const uint8_t *data = blockData(image, i, padded);
        const ExchangeResult sent = g_mainWindow->exchange(report::firmwareBlock(uint32_t(i), data),
                                                           &reply, ReplyWait::FirmwareBlock);
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
