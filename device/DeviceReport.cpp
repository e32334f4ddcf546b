#include "device/DeviceReport.h"

#include "device/AccessoryIds.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kRecordNameWidth = 16;
constexpr std::size_t kRecordValueOffset = 26;
constexpr std::size_t kVersionTextOffset = 34;
constexpr std::size_t kFlashDataOffset = 14;
constexpr std::size_t kValueLengthEnd = 10; // reply bytes 8-9 hold the value length

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
    r[3] = command;
    r[4] = target;
    putU16(r, 5, payloadLength);
    return r;
}

void putName(DeviceReport &r, std::size_t offset, const char *name) {
    std::size_t length = std::min(std::strlen(name), kRecordNameWidth);
    std::memcpy(r.data() + offset, name, length);
}

std::size_t recordValueOffset(bool isVersionRecord) {
    return isVersionRecord ? kVersionTextOffset : kRecordValueOffset;
}

// The announced value length, clipped to what the report can hold after `offset`.
std::size_t clippedValueLength(const DeviceReport &reply, std::size_t offset) {
    const std::size_t announced = std::size_t(reply[8] | (reply[9] << 8));
    return std::min(announced, kReportSize - offset);
}

bool isRequest(const DeviceReport &request, uint8_t command, uint8_t target) {
    return request[3] == command && request[4] == target;
}

bool readsVersion(const DeviceReport &request) {
    const char *name = reinterpret_cast<const char *>(request.data() + 9);
    return std::strncmp(name, accessory::kVersionRecord, kRecordNameWidth) == 0;
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

DeviceReport recordRead(uint16_t productId, const char *recordName) {
    DeviceReport r = header(1, 3, 18);
    putU16(r, 7, productId);
    putName(r, 9, recordName);
    return r;
}

DeviceReport recordWrite(uint16_t productId, const char *recordName, const QByteArray &value) {
    const auto length = std::min<std::size_t>(std::size_t(value.size()), kMaxRecordValueLength);
    DeviceReport r = header(0, 3, uint16_t(20 + length));
    putU16(r, 7, productId);
    putU16(r, 9, uint32_t(length));
    putName(r, 11, recordName);
    std::memcpy(r.data() + 27, value.constData(), length);
    return r;
}

DeviceReport firmwareBlock(uint32_t blockIndex, const uint8_t *data512) {
    DeviceReport r = header(2, 1, 518);
    putU16(r, 7, kFirmwareBlockSize);
    putU32(r, 9, blockIndex * kFirmwareBlockSize);
    std::memcpy(r.data() + 13, data512, kFirmwareBlockSize);
    return r;
}

DeviceReport flashRead(uint32_t blockIndex) {
    DeviceReport r = header(1, 2, 8);
    putU16(r, 7, 4);
    putU16(r, 9, kFlashBlockSize);
    putU32(r, 11, blockIndex * kFlashBlockSize);
    return r;
}

QByteArray encodeRecordValue(const QString &text) {
    // toLatin1 already maps every code unit outside Latin-1 to '?'.
    return text.toLatin1();
}

uint16_t replyValueLength(const DeviceReport &reply) {
    return uint16_t(reply[8] | (reply[9] << 8));
}

QString replyRecordText(const DeviceReport &reply, bool isVersionRecord) {
    const std::size_t offset = recordValueOffset(isVersionRecord);
    const std::size_t length = clippedValueLength(reply, offset);
    const char *begin = reinterpret_cast<const char *>(reply.data() + offset);
    const char *end = std::find(begin, begin + length, '\0');
    return QString::fromUtf8(begin, int(end - begin));
}

std::size_t replyBytesNeeded(const DeviceReport &request, const DeviceReport &reply) {
    if (isRequest(request, 1, 2)) // flash read
        return kFlashDataOffset + kFlashBlockSize;
    if (isRequest(request, 1, 3)) // record read
        return recordReplyBytes(reply, readsVersion(request));
    return 1; // a firmware block or a record write: any report answers it
}

const uint8_t *replyFlashData(const DeviceReport &reply) {
    return reply.data() + kFlashDataOffset;
}

} // namespace report
