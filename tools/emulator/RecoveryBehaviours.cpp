// The accessory's recovery behaviours: a half-updated device that answers no
// record read, slow flash writes, and a device that restarts after an update
// and comes back under a new node.
#include "EmulatorState.h"

#include "device/DeviceReport.h"

#include <algorithm>
#include <cstdint>

namespace emu::detail {

void flushAnnouncements(State &s) {
    std::vector<std::pair<std::string, bool>> due;
    HotplugListener listener;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        due.swap(s.data.announcements);
        listener = s.data.hotplug;
    }
    for (const auto &event : due)
        announce(listener, event.first, event.second);
}

bool answersRequest(const Device &device, const Bytes &request, int index) {
    return !device.unansweredFault || !device.unansweredFault(request, index);
}

// The requests the device writes its flash for.
bool isFlashWrite(const Bytes &request) {
    const report::RequestKind kind = report::requestKind(request);
    return kind == report::RequestKind::RecordWrite || kind == report::RequestKind::FirmwareBlock;
}

int replyDelayFor(const Device &device, const Bytes &request) {
    return device.flashWriteDelayMs > 0 && isFlashWrite(request) ? device.flashWriteDelayMs
                                                                 : device.replyDelayMs;
}

void noteRestartTrigger(Device &device, const Bytes &request, int index) {
    if (device.restartAfterBlocks <= 0 ||
        report::requestKind(request) != report::RequestKind::FirmwareBlock)
        return;
    if (--device.restartAfterBlocks == 0)
        device.restartTriggerIndex = index;
}

// The host has read the reply to the last block: the device restarts, which
// unplugs it, and comes back later under its new node.
void restartIfTriggered(Data &data, Device &device, int answeredIndex) {
    if (device.restartTriggerIndex < 0 || answeredIndex != device.restartTriggerIndex)
        return;
    device.restartTriggerIndex = -1;
    const std::string path = device.spec.path;
    const auto at = Clock::now() + std::chrono::milliseconds(std::max(0, device.restartAbsentMs));
    data.reappearances.push_back({path, device.restartPath, at});
    if (detachLocked(data, path))
        data.announcements.emplace_back(path, false);
}

void bringBackRestarted(Data &data, Clock::time_point now) {
    auto due = std::stable_partition(data.reappearances.begin(), data.reappearances.end(),
                                     [now](const Reappearance &r) { return r.at > now; });
    const std::vector<Reappearance> arriving(due, data.reappearances.end());
    data.reappearances.erase(due, data.reappearances.end());
    for (const Reappearance &r : arriving) {
        const Device before = deviceAt(data, r.fromPath); // a copy: the map may grow
        Device &after = deviceAt(data, r.toPath);
        after.records = before.records;
        after.flash = before.flash;
        after.firmware = before.firmware;
        after.firmwareBlocks = before.firmwareBlocks;
        after.versionAfterFirmware = before.versionAfterFirmware;
        DeviceSpec spec = before.spec;
        spec.path = r.toPath;
        if (attachLocked(data, spec, SIZE_MAX))
            data.announcements.emplace_back(r.toPath, true);
    }
}

} // namespace emu::detail

namespace emu {

using namespace emu::detail;

void leaveUnanswered(const std::string &path, RequestMatcher matcher) {
    locked([&](Data &data) { deviceAt(data, path).unansweredFault = std::move(matcher); });
}

void setFlashWriteDelayMs(const std::string &path, int delayMs) {
    locked([&](Data &data) { deviceAt(data, path).flashWriteDelayMs = delayMs; });
}

void restartAfterFirmware(const std::string &path, int blocks, const std::string &newPath,
                          int absentMs) {
    locked([&](Data &data) {
        Device &device = deviceAt(data, path);
        device.restartAfterBlocks = std::max(0, blocks);
        device.restartPath = newPath;
        device.restartAbsentMs = absentMs;
        device.restartTriggerIndex = -1;
    });
}

} // namespace emu
