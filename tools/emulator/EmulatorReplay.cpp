// The emulated accessory replaying a recorded session (see EmulatorReplay.h).
#include "EmulatorState.h"

#include "device/DeviceReport.h"

#include <algorithm>
#include <cstdio>

namespace emu::detail {
namespace {

// As sent, with anything outside printable ASCII shown as '?'.
std::string printableName(const Bytes &request) {
    std::string name = report::requestRecordName(request);
    for (char &c : name)
        c = c >= 0x20 && c < 0x7F ? c : '?';
    return name;
}

std::string hexAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", address);
    return text;
}

// "a record read of version", "a flash read at 0x200", ...
std::string describe(const Bytes &request) {
    switch (report::requestKind(request)) {
    case report::RequestKind::RecordRead:
        return "a record read of " + printableName(request);
    case report::RequestKind::RecordWrite:
        return "a record write of " + printableName(request);
    case report::RequestKind::FirmwareBlock:
        return "a firmware block at " + hexAddress(report::requestAddress(request));
    case report::RequestKind::FlashRead:
        return "a flash read at " + hexAddress(report::requestAddress(request));
    case report::RequestKind::Unknown:
        break;
    }
    const report::Bytes fields(request);
    return "an unknown request (command " + std::to_string(fields.u8(report::at::kCommand)) +
           ", target " + std::to_string(fields.u8(report::at::kTarget)) + ")";
}

// The first byte at which `request` differs from what `expected` allows;
// nullopt when it matches.
std::optional<std::size_t> firstDifference(const ReplayExchange &expected, const Bytes &request) {
    const Bytes &recorded = expected.request;
    constexpr std::size_t kValueAt = report::at::kWriteValue;
    std::size_t wildcardEnd = 0;
    if (expected.maskedValue && recorded.size() > report::at::kWriteValueLength + 1)
        wildcardEnd = kValueAt + report::Bytes(recorded).u16(report::at::kWriteValueLength);
    const std::size_t common = std::min(recorded.size(), request.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (i >= kValueAt && i < wildcardEnd)
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
