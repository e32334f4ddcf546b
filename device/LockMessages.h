#pragma once
// What the user is told when the accessory's lock (device/DeviceLock.h) is
// not taken, in one place for the window and the command-line tool. The tool
// names the accessory's path, since no window shows which accessory it means.

#include <QString>

#include "device/DeviceLock.h"

namespace accessory {

// `result` is what `lock`'s acquire returned (not Acquired); `devicePath` is
// empty for the window. A busy accessory names who holds it where the system
// says: "corvane-cli (process 4242) is using the accessory".
QString lockRefusal(DeviceLock::Result result, const DeviceLock &lock,
                    const QString &devicePath = QString());

} // namespace accessory
