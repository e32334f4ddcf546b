// The accessory's replies as the device code meets them: identification (the
// version, account ID and PIN texts of record-read replies) and the outcome
// of a record write, of firmware blocks and of a flash backup. The first
// byte picks the job; the rest scripts the device (see FakeHid.h).
#include <QByteArray>

#include "FakeHid.h"
#include "FuzzSupport.h"
#include "account/AccountRecords.h"
#include "device/DeviceSession.h"
#include "firmware/FirmwareTransfer.h"
#include "readback/FlashReadback.h"

namespace {

constexpr uint16_t kProductId = 0x2203;

void checkRecordText(const std::optional<QString> &text) {
    if (text)
        fuzz::expect(text->size() <= int(kReportSize) && !text->contains(QChar(0)),
                     "a record text comes from inside its reply and ends before a zero byte");
}

void identify(DeviceChannel &channel) {
    const accessory::Identity identity = accessory::identify(channel, kProductId);
    checkRecordText(identity.version);
    checkRecordText(identity.psnId);
    checkRecordText(identity.pin);
}

void writeRecord(DeviceChannel &channel) {
    const records::WriteOutcome outcome = records::writeRecord(
        channel, kProductId, accessory::kAccountIdRecord, QByteArrayLiteral("AbCdEfGhIjKl"));
    if (outcome != records::WriteOutcome::Acknowledged)
        fuzz::expect(
            !records::notSavedMessage("account ID", accessory::kAccountIdRecord, outcome).isEmpty(),
            "a record not saved is told");
}

void sendFirmware(DeviceChannel &channel) {
    const QByteArray image(int(3 * kFirmwareBlockSize - 7), '\x5A');
    const firmware::TransferResult result = firmware::sendImage(channel, image, {});
    fuzz::expect(result.failedBlocks >= 0 && result.failedBlocks <= result.totalBlocks,
                 "failed blocks are among the blocks");
    fuzz::expect((result.outcome == firmware::Outcome::Succeeded) ==
                     firmware::failureText(result).isEmpty(),
                 "only a failed transfer has a failure text");
}

// The backup file would only be written after all 1024 blocks came back.
void backUpFlash(DeviceChannel &channel) {
    const readback::BackupResult result =
        readback::backUpFlash(channel, fuzz::scratchDir() + QStringLiteral("/backup.bin"), {});
    fuzz::expect(result.failedBlocks >= 0 && result.failedBlocks <= kFlashBlockCount,
                 "failed blocks are among the blocks");
    fuzz::expect((result.outcome == readback::Outcome::Succeeded) ==
                     readback::failureText(result).isEmpty(),
                 "only a failed backup has a failure text");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silenceDebugOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    fakehid::serve(data + 1, size - 1);
    hid_device *handle = fakehid::handle();
    DeviceChannel channel(handle);
    switch (data[0] % 4) {
    case 0:
        identify(channel);
        break;
    case 1:
        writeRecord(channel);
        break;
    case 2:
        sendFirmware(channel);
        break;
    default:
        backUpFlash(channel);
        break;
    }
    return 0;
}
