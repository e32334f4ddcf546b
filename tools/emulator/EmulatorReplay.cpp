// The emulated accessory replaying a recorded session (see EmulatorReplay.h).
#include "EmulatorState.h"

#include <algorithm>
#include <cstdio>

namespace emu::detail {
namespace {

constexpr std::size_t kWriteValueLengthAt = 9;
constexpr std::size_t kWriteValueAt = 27;

uint32_t u32(const Bytes &b, std::size_t at) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= uint32_t(at + i < b.size() ? b[at + i] : 0) << (8 * i);
    return value;
}

std::string nameAt(const Bytes &b, std::size_t at) {
    std::string name;
    for (std::size_t i = at; i < std::min(b.size(), at + 16) && b[i] != 0; ++i)
        name.push_back(b[i] >= 0x20 && b[i] < 0x7F ? char(b[i]) : '?');
    return name;
}

std::string hexAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", address);
    return text;
}

// "a record read of version", "a flash read at 0x200", ...
std::string describe(const Bytes &request) {
    const uint8_t command =
        request.size() > protocol::kCommandAt ? request[protocol::kCommandAt] : 0;
    const uint8_t target = request.size() > protocol::kTargetAt ? request[protocol::kTargetAt] : 0;
    if (command == 1 && target == 3)
        return "a record read of " + nameAt(request, 9);
    if (command == 0 && target == 3)
        return "a record write of " + nameAt(request, 11);
    if (command == 2 && target == 1)
        return "a firmware block at " + hexAddress(u32(request, 9));
    if (command == 1 && target == 2)
        return "a flash read at " + hexAddress(u32(request, 11));
    return "an unknown request (command " + std::to_string(command) + ", target " +
           std::to_string(target) + ")";
}

// The first byte at which `request` differs from what `expected` allows;
// nullopt when it matches.
std::optional<std::size_t> firstDifference(const ReplayExchange &expected, const Bytes &request) {
    const Bytes &recorded = expected.request;
    std::size_t wildcardEnd = 0;
    if (expected.maskedValue && recorded.size() > kWriteValueLengthAt + 1)
        wildcardEnd = kWriteValueAt +
                      (recorded[kWriteValueLengthAt] | recorded[kWriteValueLengthAt + 1] << 8);
    const std::size_t common = std::min(recorded.size(), request.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (i >= kWriteValueAt && i < wildcardEnd)
            continue;
        if (recorded[i] != request[i])
            return i;
    }
    if (recorded.size() != request.size())
        return common;
    return std::nullopt;
}

WriteStep mismatch(Data &data, hid_device_ &handle, std::string why) {
    std::fprintf(stderr, "EMULATOR REPLAY MISMATCH: %s\n", why.c_str());
    data.replay->failures.push_back(std::move(why));
    return {fail(handle, kErrMisuse)};
}

// The recorded exchange the request must match, or a failure.
const ReplayExchange *nextExpected(Data &data, hid_device_ &handle, const Bytes &request,
                                   WriteStep *failed) {
    ReplayState &replay = *data.replay;
    if (!replay.failures.empty()) {
        *failed = {fail(handle, kErrMisuse)}; // one mismatch ends the replay
        return nullptr;
    }
    const std::size_t position = replay.next;
    if (position >= replay.script.exchanges.size()) {
        *failed = mismatch(data, handle,
                           "exchange " + std::to_string(position + 1) + ": the program sent " +
                               describe(request) + ", but the recording ends after exchange " +
                               std::to_string(position));
        return nullptr;
    }
    const ReplayExchange &expected = replay.script.exchanges[position];
    if (const auto at = firstDifference(expected, request)) {
        *failed = mismatch(data, handle,
                           "exchange " + std::to_string(expected.number) + ": the program sent " +
                               describe(request) + " where the recording holds " +
                               describe(expected.request) + " (first difference at byte " +
                               std::to_string(*at) + ")");
        return nullptr;
    }
    ++replay.next;
    return &expected;
}

} // namespace

WriteStep replayWrite(Data &data, hid_device_ &handle, const Bytes &request) {
    WriteStep failed;
    const ReplayExchange *expected = nextExpected(data, handle, request, &failed);
    if (!expected)
        return failed;
    using Outcome = ReplayExchange::Outcome;
    const bool fullSpeed = data.replay->script.fullSpeed;
    const int delayMs = fullSpeed ? 0 : std::max(0, expected->delayMs);
    Device *device = liveDevice(data, handle);
    if (!device || expected->outcome == Outcome::WriteFailed) {
        if (expected->outcome != Outcome::WriteFailed)
            return mismatch(data, handle,
                            "exchange " + std::to_string(expected->number) +
                                ": the device is gone, but the recording holds a reply");
        if (!device)
            return {fail(handle, kErrDisconnected)};
        ++device->requestIndex;
        return delayMs > 0 ? WriteStep{-1, delayMs} : WriteStep{fail(handle, kErrWriteFault)};
    }
    checkNothingLeftUnread(data, handle);
    handle.unpairedEntry.reset();
    const int index = device->requestIndex++;
    logRequest(data, handle, request, index);
    handle.readSinceWrite = false;
    const int written = int(request.size());
    if (expected->outcome == Outcome::ReadFailed)
        return {written, 0, detachLocked(data, device->spec.path)};
    if (expected->outcome == Outcome::Replied)
        device->inFlight.push_back({expected->reply, request, index,
                                    Clock::now() + std::chrono::milliseconds(delayMs), false});
    return {written};
}

} // namespace emu::detail

using namespace emu::detail;

namespace emu {

void startReplay(ReplayScript script) {
    locked([&](Data &data) {
        data.replay = std::make_shared<ReplayState>();
        data.replay->script = std::move(script);
    });
}

bool replayActive() {
    return locked([](Data &data) { return data.replay != nullptr; });
}

int replayedExchanges() {
    return locked([](Data &data) { return data.replay ? int(data.replay->next) : 0; });
}

int scriptedExchanges() {
    return locked(
        [](Data &data) { return data.replay ? int(data.replay->script.exchanges.size()) : 0; });
}

std::vector<std::string> replayFailures() {
    return locked([](Data &data) {
        return data.replay ? data.replay->failures : std::vector<std::string>();
    });
}

} // namespace emu
