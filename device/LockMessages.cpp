#include "device/LockMessages.h"

namespace accessory {

QString lockRefusal(DeviceLock::Result result, const QString &reason, const QString &devicePath) {
    if (result == DeviceLock::Result::Failed) {
        const QString where =
            devicePath.isEmpty() ? QString() : QStringLiteral(" at ") + devicePath;
        return QStringLiteral("The accessory%1 was left alone: %2.").arg(where, reason);
    }
    if (devicePath.isEmpty())
        return QStringLiteral("Another program is using the accessory; try again when it has "
                              "finished.");
    return QStringLiteral("The accessory at %1 is busy with another program's job; try again when "
                          "it has finished.")
        .arg(devicePath);
}

} // namespace accessory
