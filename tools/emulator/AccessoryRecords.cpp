// The accessory's records, flash and firmware area, and its side of the
// report protocol: what it does with each request and the reply it builds.
#include "EmulatorState.h"

#include "device/DeviceReport.h"

#include <algorithm>

namespace emu::detail {

// --- the device's side of the report protocol ---------------------------------
namespace protocol {

using report::RequestKind;
namespace at = report::at;

constexpr std::size_t kNameLength = report::kRecordNameWidth;

constexpr uint16_t kRecordReadPayload = 18;
constexpr uint16_t kRecordWriteFixedPayload = 20;
constexpr std::size_t kMaxRecordValue = kReportSize - at::kWriteValue;
constexpr uint16_t kFirmwarePayload = 518;
constexpr uint16_t kBlockSize = 512;
constexpr uint16_t kFlashReadPayload = 8;
constexpr uint16_t kFlashReadParam = 4;

using accessory::kVersionRecord;

void putU16(Bytes &b, std::size_t at, std::size_t value) {
    b[at] = uint8_t(value & 0xFF);
    b[at + 1] = uint8_t((value >> 8) & 0xFF);
}

Outcome refuse(std::string why) {
    return {Bytes(kReportSize, 0), std::move(why)};
}

// A reply that repeats the request's fields up to (not including) `endAt`.
Bytes echo(const Bytes &request, std::size_t endAt) {
    Bytes reply(kReportSize, 0);
    std::copy(request.begin() + 1, request.begin() + endAt, reply.begin());
    return reply;
}

// Printable ASCII followed only by zero padding; nullopt for anything else.
std::optional<std::string> recordName(const Bytes &request) {
    const std::size_t at = report::requestNameOffset(report::requestKind(request));
    std::string name;
    std::size_t i = 0;
    for (; i < kNameLength && request[at + i] != 0; ++i) {
        const uint8_t c = request[at + i];
        if (c < 0x21 || c > 0x7E)
            return std::nullopt;
        name.push_back(char(c));
    }
    for (; i < kNameLength; ++i) {
        if (request[at + i] != 0)
            return std::nullopt;
    }
    if (name.empty())
        return std::nullopt;
    return name;
}

std::string number(std::size_t value) {
    return std::to_string(value);
}

std::optional<std::string> checkRecordHeader(const Device &device, const Bytes &request,
                                             uint16_t expectedPayload) {
    const report::Bytes fields(request);
    const uint16_t payload = fields.u16(at::kPayloadLength);
    if (payload != expectedPayload)
        return "payload_length " + number(payload) + ", expected " + number(expectedPayload);
    const uint16_t productId = fields.u16(at::kProductId);
    if (productId != device.spec.productId)
        return "product_id " + number(productId) + " does not match the device";
    return std::nullopt;
}

Outcome readRecord(const Device &device, const Bytes &request) {
    if (auto wrong = checkRecordHeader(device, request, kRecordReadPayload))
        return refuse("record read: " + *wrong);
    const auto name = recordName(request);
    if (!name)
        return refuse("record read: malformed record name");
    Bytes reply = echo(request, at::kReadName);
    std::copy(name->begin(), name->end(), reply.begin() + at::kReplyName);
    const std::size_t valueAt = *name == kVersionRecord ? at::kReplyVersion : at::kReplyValue;
    const auto found = device.records.find(*name);
    const Bytes value = found == device.records.end() ? Bytes() : found->second;
    const std::size_t length = std::min(value.size(), kReportSize - valueAt);
    putU16(reply, at::kReplyValueLength, length);
    std::copy_n(value.begin(), length, reply.begin() + valueAt);
    return {reply, {}};
}

Outcome writeRecord(Device &device, const Bytes &request) {
    const uint16_t length = report::Bytes(request).u16(at::kWriteValueLength);
    if (length > kMaxRecordValue)
        return refuse("record write: value_length " + number(length) + " exceeds " +
                      number(kMaxRecordValue));
    if (auto wrong = checkRecordHeader(device, request, kRecordWriteFixedPayload + length))
        return refuse("record write: " + *wrong);
    const auto name = recordName(request);
    if (!name)
        return refuse("record write: malformed record name");
    const auto valueBegin = request.begin() + at::kWriteValue;
    device.records[*name] = Bytes(valueBegin, valueBegin + length);
    return {echo(request, at::kWriteValue), {}};
}

std::optional<std::string> checkFirmwareBlock(const Bytes &request) {
    const report::Bytes fields(request);
    const uint16_t payload = fields.u16(at::kPayloadLength);
    if (payload != kFirmwarePayload)
        return "payload_length " + number(payload) + ", expected " + number(kFirmwarePayload);
    const uint16_t blockLength = fields.u16(at::kBlockLength);
    if (blockLength != kBlockSize)
        return "block_length " + number(blockLength) + ", expected " + number(kBlockSize);
    const uint32_t address = report::requestAddress(request);
    if (address % kBlockSize != 0)
        return "address " + number(address) + " is not a multiple of the block size";
    if (uint64_t(address) + kBlockSize > kFlashSize)
        return "address " + number(address) + " lies beyond the flash";
    return std::nullopt;
}

Outcome storeFirmwareBlock(Device &device, const Bytes &request) {
    if (auto wrong = checkFirmwareBlock(request))
        return refuse("firmware block: " + *wrong);
    const uint32_t address = report::requestAddress(request);
    if (device.firmware.size() < address + kBlockSize)
        device.firmware.resize(address + kBlockSize, 0xFF);
    std::copy_n(request.begin() + at::kFirmwareData, kBlockSize, device.firmware.begin() + address);
    ++device.firmwareBlocks;
    const std::string &version = device.versionAfterFirmware;
    if (!version.empty())
        device.records[kVersionRecord] = Bytes(version.begin(), version.end());
    return {echo(request, at::kFirmwareData), {}};
}

Outcome readFlash(const Device &device, const Bytes &request) {
    const report::Bytes fields(request);
    const uint16_t payload = fields.u16(at::kPayloadLength);
    if (payload != kFlashReadPayload)
        return refuse("flash read: payload_length " + number(payload) + ", expected " +
                      number(kFlashReadPayload));
    const uint16_t param = fields.u16(at::kReadParam);
    const uint16_t length = fields.u16(at::kReadLength);
    if (param != kFlashReadParam || length != kBlockSize)
        return refuse("flash read: read_param " + number(param) + " / read_length " +
                      number(length) + ", expected 4 / 512");
    const uint64_t address = report::requestAddress(request);
    Bytes reply = echo(request, at::kFlashAddress + 4);
    for (std::size_t i = 0; i < kBlockSize; ++i) {
        const uint64_t from = address + i;
        reply[at::kReplyFlashData + i] = from < device.flash.size() ? device.flash[from] : 0xFF;
    }
    return {reply, {}};
}

Outcome answer(Device &device, const Bytes &request) {
    if (request.size() != kReportSize)
        return refuse("request of " + number(request.size()) + " bytes, expected " +
                      number(kReportSize));
    if (request[0] != 0)
        return refuse("report id " + number(request[0]) + ", expected 0");
    switch (report::requestKind(request)) {
    case RequestKind::RecordRead:
        return readRecord(device, request);
    case RequestKind::RecordWrite:
        return writeRecord(device, request);
    case RequestKind::FirmwareBlock:
        return storeFirmwareBlock(device, request);
    case RequestKind::FlashRead:
        return readFlash(device, request);
    case RequestKind::Unknown:
        break;
    }
    return refuse("unknown command " + number(request[at::kCommand]) + " for target " +
                  number(request[at::kTarget]));
}

} // namespace protocol

} // namespace emu::detail

// --- control API: records, flash and firmware ------------------------------------

using namespace emu::detail;

namespace emu {

void setRecord(const std::string &path, const std::string &name,
               const std::vector<uint8_t> &value) {
    locked([&](Data &data) { deviceAt(data, path).records[name] = value; });
}

void setRecordText(const std::string &path, const std::string &name, const std::string &text) {
    setRecord(path, name, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> record(const std::string &path, const std::string &name) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        if (!device || !device->records.count(name))
            return std::vector<uint8_t>();
        return device->records.at(name);
    });
}

bool hasRecord(const std::string &path, const std::string &name) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device && device->records.count(name) > 0;
    });
}

void setFlash(const std::string &path, const std::vector<uint8_t> &flash) {
    locked([&](Data &data) {
        Bytes &target = deviceAt(data, path).flash;
        std::fill(target.begin(), target.end(), 0xFF);
        std::copy_n(flash.begin(), std::min(flash.size(), target.size()), target.begin());
    });
}

std::vector<uint8_t> flash(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? device->flash : Bytes(kFlashSize, 0xFF);
    });
}

std::vector<uint8_t> receivedFirmware(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? device->firmware : Bytes();
    });
}

int receivedFirmwareBlocks(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? device->firmwareBlocks : 0;
    });
}

void setReceivedFirmware(const std::string &path, const std::vector<uint8_t> &firmware) {
    locked([&](Data &data) { deviceAt(data, path).firmware = firmware; });
}

void setVersionAfterFirmware(const std::string &path, const std::string &text) {
    locked([&](Data &data) { deviceAt(data, path).versionAfterFirmware = text; });
}
} // namespace emu
