// corvane-cli info: the firmware version, the account ID and the PIN.
#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliDevice.h"
#include "cli/CliOutput.h"
#include "cli/CommandBase.h"

namespace cli {
namespace {

QString maskedPin(const QString &pin, bool show) {
    return show || pin.isEmpty() ? pin : QStringLiteral("****");
}

} // namespace

int showInfo(const Request &request) {
    CliDevice device;
    if (const int code = device.open(request))
        return code;
    const accessory::Identity identity =
        accessory::identify(device.channel(), device.attached().productId);
    if (!identity.allAnswered)
        return fail(request, kExitDeviceFailed,
                    QStringLiteral("The accessory at %1 did not answer every record read.")
                        .arg(device.path()));
    const QString pin = maskedPin(textOrEmpty(identity.pin), request.showPin);
    if (request.json) {
        QJsonObject object = describe(device.attached());
        object.insert(QStringLiteral("version"), textOrEmpty(identity.version));
        object.insert(QStringLiteral("accountId"), textOrEmpty(identity.psnId));
        object.insert(QStringLiteral("pin"), pin);
        printJson(object);
        return kExitDone;
    }
    printResult(QStringLiteral("Accessory:  %1 (%2:%3)")
                    .arg(device.path(), hex4(device.attached().vendorId),
                         hex4(device.attached().productId)));
    printResult(QStringLiteral("Version:    ") + displayed(textOrEmpty(identity.version)));
    printResult(QStringLiteral("Account ID: ") + displayed(textOrEmpty(identity.psnId)));
    printResult(QStringLiteral("PIN:        ") + displayed(pin));
    return kExitDone;
}

} // namespace cli
