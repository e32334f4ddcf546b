// corvane-cli flash IMAGE: the firmware update, and the updated accessory
// identified afterwards.
#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliDevice.h"
#include "cli/CliOutput.h"
#include "cli/CliTerminal.h"
#include "cli/CommandBase.h"
#include "device/PowerSupply.h"
#include "device/SleepInhibitor.h"
#include "firmware/FirmwareTransfer.h"
#include "firmware/ImageCheck.h"

namespace cli {
namespace {

// The transfer under Ctrl-C's confirmation, with its progress shown.
firmware::TransferResult transfer(CliDevice &device, const QByteArray &image) {
    handleStops(StopPolicy::Confirmed);
    Progress progress(QStringLiteral("Writing firmware"), Progress::stderrIsTerminal());
    const firmware::TransferResult result = [&] {
        const SleepInhibitor inhibitor(QLatin1String(firmware::kJobName));
        return firmware::sendImage(device.channel(), image, progressObserver(progress));
    }();
    progress.finish();
    handleStops(StopPolicy::AtOnce);
    return result;
}

// The battery and file checks before an update: refuses (returns the exit
// code) unless --force, which goes on and says what it overrides.
int checkBeforeFlash(const Request &request, const QByteArray &image) {
    const QString notFirmware = firmware::notFirmwareReason(image);
    const PowerSupply power = readPowerSupply();
    const QString battery = batteryTooLow(power) ? lowBatteryText(power) : QString();
    if (!request.force) {
        if (!notFirmware.isEmpty())
            return fail(request, kExitUsage,
                        QStringLiteral("The firmware file %1, not a firmware image; nothing was "
                                       "sent. Add --force to send it anyway.")
                            .arg(notFirmware));
        if (!battery.isEmpty())
            return fail(request, kExitUsage,
                        battery + QStringLiteral(" Plug the computer in and try again, or add "
                                                 "--force to update anyway."));
        return kExitDone;
    }
    if (!notFirmware.isEmpty())
        printMessage(
            QStringLiteral("--force: sending although the firmware file %1.").arg(notFirmware));
    if (!battery.isEmpty())
        printMessage(QStringLiteral("--force: updating although the battery is at %1 %.")
                         .arg(power.batteryPercent));
    return kExitDone;
}

int printWritten(const Request &request, const CliDevice &device, int blocks,
                 const QByteArray &image, const QString &version) {
    const QString sha256 = firmware::sha256Hex(image);
    if (request.json) {
        QJsonObject object = describe(device.attached());
        object.insert(QStringLiteral("blocks"), blocks);
        object.insert(QStringLiteral("bytes"), image.size());
        object.insert(QStringLiteral("sha256"), sha256);
        object.insert(QStringLiteral("version"), version);
        printJson(object);
        return kExitDone;
    }
    printResult(
        QStringLiteral("Firmware written: %1 blocks (%2 bytes).").arg(blocks).arg(image.size()));
    printResult(QStringLiteral("SHA-256: ") + sha256);
    printResult(QStringLiteral("Version: ") + displayed(version));
    return kExitDone;
}

} // namespace

int flashFirmware(const Request &request) {
    QByteArray image;
    const QString problem = firmware::loadImage(request.argument, image);
    if (!problem.isEmpty())
        return fail(request, kExitUsage, problem);
    if (const int code = checkBeforeFlash(request, image))
        return code;
    if (const QString padding = firmware::paddingNote(image.size()); !padding.isEmpty())
        printMessage(padding);
    CliDevice device;
    if (const int code = device.open(request))
        return code;
    // A half-updated accessory answers no record read; the update may repair it.
    if (!accessory::identify(device.channel(), device.attached().productId).allAnswered)
        printMessage(QStringLiteral("Warning: ") +
                     QString::fromUtf8(accessory::kUnidentifiedBeforeUpdate) +
                     QStringLiteral(" Updating it anyway."));
    const firmware::TransferResult result = transfer(device, image);
    if (result.outcome == firmware::Outcome::Stopped)
        return fail(request, stoppedExitCode(),
                    firmware::failureText(result) +
                        QStringLiteral(" The accessory may not start until an update is "
                                       "finished."));
    if (result.outcome != firmware::Outcome::Succeeded)
        return fail(request, kExitDeviceFailed, firmware::failureText(result));
    // As the window does: the version shown comes from the updated device.
    const bool back = device.reopen();
    const accessory::Identity identity =
        back ? accessory::identify(device.channel(), device.attached().productId)
             : accessory::Identity{};
    if (!back || !identity.version)
        return fail(request, kExitDeviceFailed,
                    QStringLiteral("The firmware was written, but the accessory could not be "
                                   "identified afterwards."));
    return printWritten(request, device, result.totalBlocks, image, *identity.version);
}

} // namespace cli
