#include "readback/FlashReadback.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <cstring>

#include "common/PrivateFile.h"

namespace readback {
namespace {

constexpr int kBlocksPerStep = 170;
constexpr int kFinalStep = 6;

void logBlockAddress(uint32_t address) {
    qDebug("HasReadBytes:%08x H4:%02x H3:%02x H2:%02x H1:%02x", address, 0u, (address >> 8) & 0xFF,
           (address >> 16) & 0xFF, 0u);
}

QString fileProblem(const QString &path, const QString &reason) {
    return QStringLiteral("%1 (%2)").arg(reason, QDir::toNativeSeparators(path));
}

ExchangeResult readBlock(DeviceChannel &channel, int block, uint8_t *image,
                         LateReplyAllowance &lateReplies) {
    const uint32_t address = uint32_t(block) * kFlashBlockSize;
    logBlockAddress(address);
    DeviceReport reply{};
    const ExchangeResult exchanged = channel.exchange(report::flashRead(uint32_t(block)), &reply,
                                                      ReplyWait::FlashRead, &lateReplies);
    if (exchanged == ExchangeResult::Ok)
        std::memcpy(image + address, report::replyFlashData(reply), kFlashBlockSize);
    return exchanged;
}

BackupResult finished(Outcome outcome, int failedBlocks, const QString &detail,
                      bool writesFailing = false) {
    BackupResult result;
    result.outcome = outcome;
    result.failedBlocks = failedBlocks;
    result.detail = detail;
    result.writesFailing = writesFailing;
    return result;
}

} // namespace

bool canCreate(const QString &path, QString *reason) {
    return canWritePrivately(path, reason);
}

QString failureText(const BackupResult &result) {
    switch (result.outcome) {
    case Outcome::BlocksFailed: {
        QString text = QStringLiteral("Flash backup failed: %1 of %2 blocks could not be read; "
                                      "no backup file was written.")
                           .arg(result.failedBlocks)
                           .arg(kFlashBlockCount);
        if (result.writesFailing)
            text += QStringLiteral(" The device took none of %1 requests in a row, so the "
                                   "backup was ended there.")
                        .arg(kMaxConsecutiveWriteFailures);
        return text;
    }
    case Outcome::Stopped:
        return QStringLiteral("Flash backup stopped; no backup file was written.");
    case Outcome::FileError:
        return QStringLiteral("The backup file could not be written: %1").arg(result.detail);
    case Outcome::None:
    case Outcome::Succeeded:
        break;
    }
    return QString();
}

ReadSummary readWholeFlash(DeviceChannel &channel, uint8_t *image, const ReadObserver &observer) {
    ReadSummary summary;
    JobEndCheck jobEnd;
    LateReplyAllowance lateReplies;
    int loopStep = kBlocksPerStep;
    qDebug("show  iTotalTimes:%d,loopStep:%d", 0, loopStep);
    for (int block = 0; block < kFlashBlockCount; ++block) {
        if (observer.stopRequested && observer.stopRequested()) {
            summary.interrupted = true;
            return summary;
        }
        const ExchangeResult exchanged = readBlock(channel, block, image, lateReplies);
        if (exchanged != ExchangeResult::Ok) {
            if (summary.failedBlocks == 0)
                summary.firstFailure = QStringLiteral("block %1: %2")
                                           .arg(block)
                                           .arg(QLatin1String(exchangeResultName(exchanged)));
            ++summary.failedBlocks;
        }
        if (const auto reason = jobEnd.after(exchanged); reason != JobEndCheck::Reason::None) {
            summary.failedBlocks += kFlashBlockCount - 1 - block;
            summary.writesFailing = reason == JobEndCheck::Reason::WritesFailing;
            return summary;
        }
        const int iTotalTimes = block + 1;
        if (observer.blockDone)
            observer.blockDone(iTotalTimes, kFlashBlockCount);
        if (iTotalTimes == kFlashBlockCount)
            break;
        qDebug("show  iTotalTimes:%d,loopStep:%d", iTotalTimes, loopStep);
        if (iTotalTimes == loopStep) {
            qDebug("iTotalTimes==loopStep");
            loopStep += kBlocksPerStep;
            const int step = loopStep / kBlocksPerStep - 1;
            // The last step means "backup saved"; backUpFlash reports it once it is.
            if (step < kFinalStep && observer.stepReached)
                observer.stepReached(step);
        }
    }
    return summary;
}

BackupResult backUpFlash(DeviceChannel &channel, const QString &path,
                         const ReadObserver &observer) {
    PrivateFile file(path);
    QString refused;
    if (!file.open(&refused))
        return finished(Outcome::FileError, 0, fileProblem(path, refused));
    QByteArray image(int(kFlashSize), '\0');
    const ReadSummary summary =
        readWholeFlash(channel, reinterpret_cast<uint8_t *>(image.data()), observer);
    if (summary.interrupted || summary.failedBlocks > 0) {
        file.cancel();
        if (summary.interrupted)
            return finished(Outcome::Stopped, summary.failedBlocks, QString());
        return finished(Outcome::BlocksFailed, summary.failedBlocks, summary.firstFailure,
                        summary.writesFailing);
    }
    if (!file.write(image))
        return finished(Outcome::FileError, 0, fileProblem(path, file.errorString()));
    if (!file.commit())
        return finished(Outcome::FileError, 0, fileProblem(path, file.errorString()));
    if (observer.stepReached)
        observer.stepReached(kFinalStep);
    return finished(Outcome::Succeeded, 0, QString());
}

} // namespace readback
