#pragma once
// The accessory a command of corvane-cli works with: chosen, locked, opened
// and, after a firmware update, found again.

#include <QByteArray>
#include <QString>

#include "device/DeviceChannel.h"
#include "device/DeviceLock.h"
#include "device/DeviceSession.h"

namespace cli {

struct Request;

// Initialises the HID library; returns kExitDone, or the exit code of a
// failure it has reported.
int initialiseHid(const Request &request);

struct OpenProblem {
    int exitCode;
    QString message;
};

// Why the accessory at `path` could not be opened (`error` from
// accessory::open); only a refusal by the system is a permission problem.
OpenProblem openProblem(const QByteArray &path, int error);

// The chosen accessory, opened under its lock for the length of one command.
class CliDevice {
public:
    CliDevice() = default;
    CliDevice(const CliDevice &) = delete;
    CliDevice &operator=(const CliDevice &) = delete;
    ~CliDevice();

    // Returns kExitDone, or the exit code of a failure it has reported.
    int open(const Request &request);

    // After a firmware update: the accessory restarts and may come back under
    // a new node. Waits for the same accessory, never another one, and
    // reopens it; false when it is not back (see accessory::UnitReturn).
    bool reopen();

    DeviceChannel &channel() { return channel_; }
    const accessory::Attached &attached() const { return accessory_; }
    QString path() const { return QString::fromLocal8Bit(accessory_.path); }

private:
    hid_device *handle_ = nullptr;
    DeviceChannel channel_{handle_};
    DeviceLock lock_;
    accessory::Attached accessory_;
    bool initialised_ = false;
};

} // namespace cli
