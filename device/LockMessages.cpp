#include "device/LockMessages.h"

namespace accessory {

QString lockRefusal(DeviceLock::Result result, const DeviceLock &lock, const QString &devicePath) {
    if (result == DeviceLock::Result::Failed) {
        const QString where =
            devicePath.isEmpty() ? QString() : QStringLiteral(" at ") + devicePath;
        return QStringLiteral("The accessory%1 was left alone: %2.").arg(where, lock.errorString());
    }
    if (devicePath.isEmpty())
        return QStringLiteral("%1; try again when it has finished.").arg(lock.busyText());
    if (!lock.holder().isEmpty())
        return QStringLiteral("%1 at %2; try again when it has finished.")
            .arg(lock.busyText(), devicePath);
    return QStringLiteral("The accessory at %1 is busy with another program's job; try again when "
                          "it has finished.")
        .arg(devicePath);
}

} // namespace accessory
