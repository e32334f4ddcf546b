// The control API tests and the demo builds drive the emulation with: reset,
// plugging and unplugging, the request log, misuse and the hot-plug listener.
#include "EmulatorState.h"

#include <algorithm>

using namespace emu::detail;

namespace emu {

void reset() {
    locked([](Data &data) { data = Data(); });
}

void attach(const DeviceSpec &spec) {
    attachAt(spec, SIZE_MAX);
}

void attachAt(const DeviceSpec &spec, std::size_t position) {
    HotplugListener listener;
    const bool attached = locked([&](Data &data) {
        listener = data.hotplug;
        return attachLocked(data, spec, position);
    });
    if (attached)
        announce(listener, spec.path, true);
}

void detach(const std::string &path) {
    HotplugListener listener;
    const bool detached = locked([&](Data &data) {
        listener = data.hotplug;
        return detachLocked(data, path);
    });
    if (detached)
        announce(listener, path, false);
}

bool isAttached(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device && device->attached;
    });
}

std::vector<LoggedRequest> requestLog() {
    return locked([](Data &data) { return data.log; });
}

void clearRequestLog() {
    locked([](Data &data) {
        data.log.clear();
        ++data.logEpoch;
    });
}

int protocolErrors() {
    return locked([](Data &data) { return int(data.protocolErrors.size()); });
}

std::vector<std::string> protocolErrorLog() {
    return locked([](Data &data) { return data.protocolErrors; });
}

int openHandleCount() {
    return locked([](Data &data) {
        return int(std::count_if(data.handles.begin(), data.handles.end(),
                                 [](const auto &handle) { return !handle->closed; }));
    });
}

int initCount() {
    return locked([](Data &data) { return data.initCount; });
}

std::vector<std::string> misuse() {
    return locked([](Data &data) { return data.misuse; });
}

int misuseCount() {
    return locked([](Data &data) { return int(data.misuse.size()); });
}

void setHotplugListener(std::function<void(const std::string &path, bool arrived)> listener) {
    locked([&](Data &data) { data.hotplug = std::move(listener); });
}

} // namespace emu
