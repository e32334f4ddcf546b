// corvane-cli backup FILE: the whole flash memory saved into FILE.
#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliDevice.h"
#include "cli/CliOutput.h"
#include "cli/CliTerminal.h"
#include "cli/CommandBase.h"
#include "device/SleepInhibitor.h"
#include "readback/FlashReadback.h"

namespace cli {
namespace {

int exitCodeOf(readback::Outcome outcome) {
    return outcome == readback::Outcome::FileError ? kExitUsage
           : outcome == readback::Outcome::Stopped ? stoppedExitCode()
                                                   : kExitDeviceFailed;
}

} // namespace

int backUpFlash(const Request &request) {
    QString reason;
    if (!readback::canCreate(request.argument, &reason))
        return fail(request, kExitUsage,
                    QStringLiteral("The backup file \"%1\" cannot be created: %2")
                        .arg(request.argument, reason));
    CliDevice device;
    if (const int code = device.open(request))
        return code;
    handleStops(StopPolicy::BetweenBlocks);
    Progress progress(QStringLiteral("Reading flash"), Progress::stderrIsTerminal());
    const readback::BackupResult result = [&] {
        const SleepInhibitor inhibitor(QLatin1String(readback::kJobName));
        return readback::backUpFlash(device.channel(), request.argument,
                                     progressObserver(progress));
    }();
    progress.finish();
    handleStops(StopPolicy::AtOnce);
    if (result.outcome != readback::Outcome::Succeeded)
        return fail(request, exitCodeOf(result.outcome), readback::failureText(result));
    if (request.json) {
        QJsonObject object = describe(device.attached());
        object.insert(QStringLiteral("file"), request.argument);
        object.insert(QStringLiteral("bytes"), qint64(kFlashSize));
        printJson(object);
        return kExitDone;
    }
    printResult(QStringLiteral("Flash saved to %1 (%2 bytes).")
                    .arg(request.argument)
                    .arg(qint64(kFlashSize)));
    return kExitDone;
}

} // namespace cli
