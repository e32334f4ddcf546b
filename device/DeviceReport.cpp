#include "device/DeviceReport.h"

#include "device/AccessoryIds.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace report::at;
using report::kRecordNameWidth;
using report::RequestKind;

constexpr std::size_t kValueLengthEnd = kReplyValueLength + 2;

void putU16(DeviceReport &r, std::size_t offset, uint32_t value) {
    r[offset] = uint8_t(value & 0xFF);
    r[offset + 1] = uint8_t((value >> 8) & 0xFF);
}

void putU32(DeviceReport &r, std::size_t offset, uint32_t value) {
    putU16(r, offset, value & 0xFFFF);
    putU16(r, offset + 2, value >> 16);
}

DeviceReport header(uint8_t command, uint8_t target, uint16_t payloadLength) {
    DeviceReport r{};
    r[kCommand] = command;
    r[kTarget] = target;
    putU16(r, kPayloadLength, payloadLength);
    return r;
}

void putName(DeviceReport &r, std::size_t offset, const char *name) {
    std::size_t length = std::min(std::strlen(name), kRecordNameWidth);
    std::memcpy(r.data() + offset, name, length);
}

std::size_t recordValueOffset(bool isVersionRecord) {
    return isVersionRecord ? kReplyVersion : kReplyValue;
}

// The announced value length, clipped to what the report can hold after `offset`.
std::size_t clippedValueLength(const DeviceReport &reply, std::size_t offset) {
    return std::min<std::size_t>(report::replyValueLength(reply), kReportSize - offset);
}

bool readsVersion(const DeviceReport &request) {
    return report::requestRecordName(request) == accessory::kVersionRecord;
}

// A record reply must deliver its value length and, when it announces a
// value, the value's start. A value announced longer than the reply that
// arrived (a record never written reads as length 0xFFFF) is clipped to what
// arrived: the reply buffer is zero-filled before the read, so the text ends
// where the reply did.
std::size_t recordReplyBytes(const DeviceReport &reply, bool isVersionRecord) {
    const std::size_t offset = recordValueOffset(isVersionRecord);
    return clippedValueLength(reply, offset) == 0 ? kValueLengthEnd : offset + 1;
}

} // namespace

namespace report {

RequestKind requestKind(Bytes request) {
    const uint8_t command = request.u8(kCommand);
    const uint8_t target = request.u8(kTarget);
    if (command == 1 && target == 3)
        return RequestKind::RecordRead;
    if (command == 0 && target == 3)
        return RequestKind::RecordWrite;
    if (command == 2 && target == 1)
        return RequestKind::FirmwareBlock;
    if (command == 1 && target == 2)
        return RequestKind::FlashRead;
    return RequestKind::Unknown;
}

std::size_t requestNameOffset(RequestKind kind) {
    if (kind == RequestKind::RecordRead)
        return kReadName;
    return kind == RequestKind::RecordWrite ? kWriteName : 0;
}

std::string requestRecordName(Bytes request) {
    const std::size_t offset = requestNameOffset(requestKind(request));
    std::string name;
    for (std::size_t i = 0; offset != 0 && i < kRecordNameWidth && request.u8(offset + i); ++i)
        name.push_back(char(request.u8(offset + i)));
    return name;
}

uint32_t requestAddress(Bytes request) {
    switch (requestKind(request)) {
    case RequestKind::FirmwareBlock:
        return request.u32(kFirmwareAddress);
    case RequestKind::FlashRead:
        return request.u32(kFlashAddress);
    default:
        return 0;
    }
}

DeviceReport recordRead(uint16_t productId, const char *recordName) {
    DeviceReport r = header(1, 3, 18);
    putU16(r, kProductId, productId);
    putName(r, kReadName, recordName);
    return r;
}

DeviceReport recordWrite(uint16_t productId, const char *recordName, const QByteArray &value) {
    const auto length = std::min<std::size_t>(std::size_t(value.size()), kMaxRecordValueLength);
    DeviceReport r = header(0, 3, uint16_t(20 + length));
    putU16(r, kProductId, productId);
    putU16(r, kWriteValueLength, uint32_t(length));
    putName(r, kWriteName, recordName);
    std::memcpy(r.data() + kWriteValue, value.constData(), length);
    return r;
}

DeviceReport firmwareBlock(uint32_t blockIndex, const uint8_t *data512) {
    DeviceReport r = header(2, 1, 518);
    putU16(r, kBlockLength, kFirmwareBlockSize);
    putU32(r, kFirmwareAddress, blockIndex * kFirmwareBlockSize);
    std::memcpy(r.data() + kFirmwareData, data512, kFirmwareBlockSize);
    return r;
}

DeviceReport flashRead(uint32_t blockIndex) {
    DeviceReport r = header(1, 2, 8);
    putU16(r, kReadParam, 4);
    putU16(r, kReadLength, kFlashBlockSize);
    putU32(r, kFlashAddress, blockIndex * kFlashBlockSize);
    return r;
}

QByteArray encodeRecordValue(const QString &text) {
    // toLatin1 already maps every code unit outside Latin-1 to '?'.
    return text.toLatin1();
}

QString replyRecordText(const DeviceReport &reply, bool isVersionRecord) {
    const std::size_t offset = recordValueOffset(isVersionRecord);
    const std::size_t length = clippedValueLength(reply, offset);
    const char *begin = reinterpret_cast<const char *>(reply.data() + offset);
    const char *end = std::find(begin, begin + length, '\0');
    return QString::fromUtf8(begin, int(end - begin));
}

std::size_t replyBytesNeeded(const DeviceReport &request, const DeviceReport &reply) {
    const RequestKind kind = requestKind(request);
    if (kind == RequestKind::FlashRead)
        return kReplyFlashData + kFlashBlockSize;
    if (kind == RequestKind::RecordRead)
        return recordReplyBytes(reply, readsVersion(request));
    return 1; // a firmware block or a record write: any report answers it
}

const uint8_t *replyFlashData(const DeviceReport &reply) {
    return reply.data() + kReplyFlashData;
}

} // namespace report
