#include "readback/WorkerThreadForSaveData.h"

#include <QDebug>
#include <QDir>
#include <QSaveFile>
#include <cstring>

#include "device/DeviceReport.h"
#include "ui/MainWindow.h"

namespace {

constexpr int kBlocksPerStep = 170;
constexpr int kFinalStep = 6;

void logBlockAddress(uint32_t address) {
    qDebug("HasReadBytes:%08x H4:%02x H3:%02x H2:%02x H1:%02x", address, 0u, (address >> 8) & 0xFF,
           (address >> 16) & 0xFF, 0u);
}

// Results after which the device will not answer the next request either.
bool deviceGone(ExchangeResult result) {
    return result == ExchangeResult::Timeout || result == ExchangeResult::NoDevice;
}

QString fileProblem(const QString &path, const QString &reason) {
    return QStringLiteral("%1 (%2)").arg(reason, QDir::toNativeSeparators(path));
}

} // namespace

WorkerThreadForSaveData::WorkerThreadForSaveData(QObject *parent) : QThread(parent) {}

WorkerThreadForSaveData::Result WorkerThreadForSaveData::result() const {
    return result_;
}

void WorkerThreadForSaveData::run() {
    result_ = Result{};
    const QString path = g_mainWindow->saveDataPath;
    // Written to a temporary file beside the target and renamed over it only
    // once everything succeeded, so a failed backup never leaves a file that
    // looks like a good one (and an older backup at the path survives).
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        finish(Outcome::FileError, 0, fileProblem(path, file.errorString()));
        return;
    }
    QByteArray image(int(kFlashSize), '\0');
    const ReadSummary summary = readWholeFlash(reinterpret_cast<uint8_t *>(image.data()));
    if (summary.interrupted || summary.failedBlocks > 0) {
        file.cancelWriting();
        if (summary.interrupted)
            finish(Outcome::Stopped, summary.failedBlocks, QString());
        else
            finish(Outcome::BlocksFailed, summary.failedBlocks, summary.firstFailure);
        return;
    }
    if (file.write(image) != image.size()) {
        const QString reason = fileProblem(path, file.errorString());
        file.cancelWriting();
        finish(Outcome::FileError, 0, reason);
        return;
    }
    if (!file.commit()) {
        finish(Outcome::FileError, 0, fileProblem(path, file.errorString()));
        return;
    }
    finish(Outcome::Succeeded, 0, QString());
    emit sigRunUpdateSaveDataProcess(kFinalStep);
}

WorkerThreadForSaveData::ReadSummary WorkerThreadForSaveData::readWholeFlash(uint8_t *image) {
    ReadSummary summary;
    int loopStep = kBlocksPerStep;
    qDebug("show  iTotalTimes:%d,loopStep:%d", 0, loopStep);
    for (int block = 0; block < kFlashBlockCount; ++block) {
        if (isInterruptionRequested()) {
            summary.interrupted = true;
            return summary;
        }
        const ExchangeResult exchanged = readBlock(block, image);
        if (exchanged != ExchangeResult::Ok) {
            if (summary.failedBlocks == 0)
                summary.firstFailure = QStringLiteral("block %1: %2")
                                           .arg(block)
                                           .arg(QLatin1String(exchangeResultName(exchanged)));
            ++summary.failedBlocks;
            if (deviceGone(exchanged)) {
                summary.failedBlocks += kFlashBlockCount - 1 - block;
                return summary;
            }
        }
        const int iTotalTimes = block + 1;
        if (iTotalTimes == kFlashBlockCount)
            break;
        qDebug("show  iTotalTimes:%d,loopStep:%d", iTotalTimes, loopStep);
        if (iTotalTimes == loopStep) {
            qDebug("iTotalTimes==loopStep");
            loopStep += kBlocksPerStep;
            const int step = loopStep / kBlocksPerStep - 1;
            // The last step means "backup saved"; run() emits it once it is.
            if (step < kFinalStep)
                emit sigRunUpdateSaveDataProcess(step);
        }
    }
    return summary;
}

ExchangeResult WorkerThreadForSaveData::readBlock(int block, uint8_t *image) {
    const uint32_t address = uint32_t(block) * kFlashBlockSize;
    logBlockAddress(address);
    DeviceReport reply{};
    const ExchangeResult exchanged =
        g_mainWindow->exchange(report::flashRead(uint32_t(block)), &reply, ReplyWait::FlashRead);
    if (exchanged == ExchangeResult::Ok)
        std::memcpy(image + address, report::replyFlashData(reply), kFlashBlockSize);
    return exchanged;
}

void WorkerThreadForSaveData::finish(Outcome outcome, int failedBlocks, const QString &detail) {
    result_.outcome = outcome;
    result_.failedBlocks = failedBlocks;
    result_.detail = detail;
}
