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
    result.totalBlocks = kFlashBlockCount;
    result.failedBlocks = failedBlocks;
    result.detail = detail;
    result.writesFailing = writesFailing;
    return result;
}

// Fills the 512 KiB `image`; stops early when stopped, or when JobEndCheck
// ends the job.
BlockRun readWholeFlash(DeviceChannel &channel, uint8_t *image, const ReadObserver &observer) {
    LateReplyAllowance lateReplies;
    int loopStep = kBlocksPerStep;
    qDebug("show  iTotalTimes:%d,loopStep:%d", 0, loopStep);
    const auto readOne = [&](int block) { return readBlock(channel, block, image, lateReplies); };
    const auto reportProgress = [&](int block) {
        const int iTotalTimes = block + 1;
        if (iTotalTimes == kFlashBlockCount)
            return;
        qDebug("show  iTotalTimes:%d,loopStep:%d", iTotalTimes, loopStep);
        if (iTotalTimes != loopStep)
            return;
        qDebug("iTotalTimes==loopStep");
        loopStep += kBlocksPerStep;
        const int step = loopStep / kBlocksPerStep - 1;
        // The last step means "backup saved"; backUpFlash reports it once it is.
        if (step < kFinalStep && observer.stepReached)
            observer.stepReached(step);
    };
    return runBlocks(kFlashBlockCount, observer, readOne, reportProgress);
}

// Blocks left zero in the image: those that failed, and when the job was
// ended early, those never read.
int unreadBlocks(const BlockRun &run) {
    return run.stopped ? run.failedBlocks : run.failedBlocks + kFlashBlockCount - run.blocksRun;
}

QString describeFirstFailure(const BlockRun &run) {
    if (run.failedBlocks == 0)
        return QString();
    return QStringLiteral("block %1: %2")
        .arg(run.firstFailedBlock)
        .arg(QLatin1String(exchangeResultName(run.firstFailure)));
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

BackupResult backUpFlash(DeviceChannel &channel, const QString &path,
                         const ReadObserver &observer) {
    PrivateFile file(path);
    QString refused;
    if (!file.open(&refused))
        return finished(Outcome::FileError, 0, fileProblem(path, refused));
    QByteArray image(int(kFlashSize), '\0');
    const BlockRun blocks =
        readWholeFlash(channel, reinterpret_cast<uint8_t *>(image.data()), observer);
    if (blocks.stopped || unreadBlocks(blocks) > 0) {
        file.cancel();
        if (blocks.stopped)
            return finished(Outcome::Stopped, unreadBlocks(blocks), QString());
        return finished(Outcome::BlocksFailed, unreadBlocks(blocks), describeFirstFailure(blocks),
                        blocks.endReason == JobEndCheck::Reason::WritesFailing);
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
