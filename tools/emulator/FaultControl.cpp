// The control API's faults and the report queues' counters: how tests make
// the emulated accessory fail, stall, answer late or not at all.
#include "EmulatorState.h"

#include "device/DeviceReport.h"

#include <algorithm>
#include <cerrno>

using namespace emu::detail;

namespace emu {

void failWrites(const std::string &path, RequestMatcher matcher) {
    locked([&](Data &data) { deviceAt(data, path).writeFault = std::move(matcher); });
}

void failReads(const std::string &path, RequestMatcher matcher) {
    locked([&](Data &data) { deviceAt(data, path).readFault = std::move(matcher); });
}

void stopAnswering(const std::string &path, bool stopped) {
    locked([&](Data &data) { setStopped(data, deviceAt(data, path), stopped); });
}

void setReplyDelayMs(const std::string &path, int delayMs) {
    locked([&](Data &data) { deviceAt(data, path).replyDelayMs = delayMs; });
}

void answerLate(const std::string &path, int requestIndex, int delayMs) {
    locked([&](Data &data) { deviceAt(data, path).lateAnswers[requestIndex] = delayMs; });
}

void shortReplies(const std::string &path, RequestMatcher matcher, std::size_t length) {
    locked([&](Data &data) {
        Device &device = deviceAt(data, path);
        device.shortReplyFault = std::move(matcher);
        device.shortReplyLength = length;
    });
}

void stallWrites(const std::string &path, RequestMatcher matcher, int blockMs) {
    locked([&](Data &data) {
        Device &device = deviceAt(data, path);
        device.stallFault = std::move(matcher);
        device.stallMs = blockMs;
    });
}

void zeroReads(const std::string &path, RequestMatcher matcher) {
    locked([&](Data &data) { deviceAt(data, path).zeroReadFault = std::move(matcher); });
}

int requestCount(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? device->requestIndex : 0;
    });
}

int repliesInFlight(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? int(device->inFlight.size()) : 0;
    });
}

void detachAfterRequests(const std::string &path, int requestCount) {
    if (requestCount == 0) {
        detach(path);
        return;
    }
    locked([&](Data &data) { deviceAt(data, path).detachCountdown = std::max(-1, requestCount); });
}

void failOpen(const std::string &path, bool fail) {
    failOpenWith(path, fail ? EACCES : 0);
}

void failOpenWith(const std::string &path, int error) {
    locked([&](Data &data) { deviceAt(data, path).failOpenError = error; });
}

void vanishOnOpen(const std::string &path) {
    locked([&](Data &data) { deviceAt(data, path).vanishOnOpen = true; });
}

void failInit(bool fail) {
    locked([&](Data &data) { data.failInit = fail; });
}

void clearFaults() {
    locked([](Data &data) {
        data.failInit = false;
        for (auto &entry : data.devices) {
            Device &device = entry.second;
            device.writeFault = nullptr;
            device.readFault = nullptr;
            device.shortReplyFault = nullptr;
            device.stallFault = nullptr;
            device.zeroReadFault = nullptr;
            device.lateAnswers.clear();
            setStopped(data, device, false);
            device.replyDelayMs = 0;
            device.detachCountdown = -1;
            device.failOpenError = 0;
            device.vanishOnOpen = false;
            device.unansweredFault = nullptr;
            device.flashWriteDelayMs = 0;
            device.restartAfterBlocks = 0;
            device.restartTriggerIndex = -1;
        }
    });
}

RequestMatcher matchIndex(int index) {
    return
        [index](const std::vector<uint8_t> &, int requestIndex) { return requestIndex == index; };
}

RequestMatcher matchAll() {
    return [](const std::vector<uint8_t> &, int) { return true; };
}

RequestMatcher matchCommand(uint8_t command, uint8_t target) {
    return [command, target](const std::vector<uint8_t> &request, int) {
        return request.size() > report::at::kTarget && request[report::at::kCommand] == command &&
               request[report::at::kTarget] == target;
    };
}

} // namespace emu
