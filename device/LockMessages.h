#pragma once
// What the user is told when the accessory's lock (device/DeviceLock.h) is
// not taken, in one place for the window and the command-line tool. The tool
// names the accessory's path, since no window shows which accessory it means.

#include <QString>

#include "device/DeviceLock.h"

namespace accessory {

// `result` is what DeviceLock::acquire returned (not Acquired), `reason` the
// lock's errorString(); `devicePath` is empty for the window.
QString lockRefusal(DeviceLock::Result result, const QString &reason,
                    const QString &devicePath = QString());

} // namespace accessory
