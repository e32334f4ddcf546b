#include "cli/CliDevice.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliTerminal.h"
#include "cli/CommandBase.h"
#include "device/LockMessages.h"
#include "device/UnitReturn.h"

namespace cli {
namespace {

const accessory::Attached *pick(const std::vector<accessory::Attached> &attached,
                                const QString &wantedPath) {
    for (const accessory::Attached &candidate : attached)
        if (wantedPath.isEmpty() || QString::fromLocal8Bit(candidate.path) == wantedPath)
            return &candidate;
    return nullptr;
}

QString noAccessoryMessage(const Request &request,
                           const std::vector<accessory::Attached> &attached) {
    if (attached.empty())
        return QStringLiteral("No accessory found.");
    return QStringLiteral("No accessory at %1; 'corvane-cli list' shows the attached ones.")
        .arg(request.devicePath);
}

} // namespace

int initialiseHid(const Request &request) {
    if (hid_init() == -1)
        return fail(request, kExitDeviceFailed,
                    QStringLiteral("The HID library could not be initialised."));
    return kExitDone;
}

OpenProblem openProblem(const QByteArray &path, int error) {
    const QString shown = QString::fromLocal8Bit(path);
    bool stillThere = false;
    for (const accessory::Attached &candidate : accessory::listAttached())
        stillThere = stillThere || candidate.path == path;
    if (!stillThere || error == ENOENT || error == ENODEV || error == ENXIO)
        return {kExitNoAccessory,
                QStringLiteral("The accessory at %1 was removed before it could be opened.")
                    .arg(shown)};
    if (error == EACCES || error == EPERM)
        return {
            kExitPermission,
            QStringLiteral("Permission denied on %1. %2").arg(shown, accessory::permissionHint())};
    if (error == EBUSY)
        return {kExitBusy, QStringLiteral("The accessory at %1 is held exclusively by another "
                                          "program; close that program and try again.")
                               .arg(shown)};
    return {kExitDeviceFailed, QStringLiteral("The accessory at %1 could not be opened: %2.")
                                   .arg(shown, error ? QString::fromLocal8Bit(std::strerror(error))
                                                     : QStringLiteral("unknown error"))};
}

CliDevice::~CliDevice() {
    channel_.close();
    if (initialised_)
        hid_exit();
}

int CliDevice::open(const Request &request) {
    if (const int code = initialiseHid(request))
        return code;
    initialised_ = true;
    const std::vector<accessory::Attached> attached = accessory::listAttached();
    const accessory::Attached *chosen = pick(attached, request.devicePath);
    if (!chosen)
        return fail(request, kExitNoAccessory, noAccessoryMessage(request, attached));
    accessory_ = *chosen;
    const QString path = QString::fromLocal8Bit(accessory_.path);
    const DeviceLock::Result locked = lock_.acquire(path);
    if (locked != DeviceLock::Result::Acquired)
        return fail(request, kExitBusy, accessory::lockRefusal(locked, lock_, path));
    int error = 0;
    hid_device *opened = accessory::open(accessory_.path.constData(), &error);
    if (!opened) {
        const OpenProblem problem = openProblem(accessory_.path, error);
        return fail(request, problem.exitCode, problem.message);
    }
    channel_.replace(opened);
    return kExitDone;
}

bool CliDevice::reopen() {
    channel_.close();
    const accessory::UnitReturn unitReturn(accessory_);
    const auto take = [this](const accessory::Attached &found) {
        hid_device *opened = accessory::open(found.path.constData());
        if (!opened)
            return false;
        accessory_ = found;
        channel_.replace(opened);
        return true;
    };
    return unitReturn.await(take, [] { return stopRequested(); });
}

} // namespace cli
