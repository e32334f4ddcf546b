#pragma once
// The accessory's 1024-byte device report: where each field sits, builders
// for the four request kinds, and the one decoder of requests and replies that
// the program, its recordings and the emulated accessory share. Nothing here
// reads or writes outside a report buffer, whatever a reply claims.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t kReportSize = 1024;
constexpr std::size_t kFirmwareBlockSize = 512;
constexpr std::size_t kFlashBlockSize = 512;
constexpr std::size_t kFlashSize = 512 * 1024;
constexpr int kFlashBlockCount = int(kFlashSize / kFlashBlockSize);
// A record value starts at request offset 27, so at most this many bytes fit.
constexpr int kMaxRecordValueLength = int(kReportSize) - 27;

using DeviceReport = std::array<uint8_t, kReportSize>;

namespace report {

// Requests begin with the report id (0); replies come without it, so a field
// the reply repeats sits one byte earlier there.
namespace at {
constexpr std::size_t kCommand = 3;
constexpr std::size_t kTarget = 4;
constexpr std::size_t kPayloadLength = 5;
constexpr std::size_t kProductId = 7;   // record requests
constexpr std::size_t kBlockLength = 7; // firmware blocks
constexpr std::size_t kReadParam = 7;   // flash reads
constexpr std::size_t kReadName = 9;    // record reads
constexpr std::size_t kWriteValueLength = 9;
constexpr std::size_t kWriteName = 11;
constexpr std::size_t kWriteValue = 27;
constexpr std::size_t kFirmwareAddress = 9;
constexpr std::size_t kFirmwareData = 13;
constexpr std::size_t kReadLength = 9; // flash reads
constexpr std::size_t kFlashAddress = 11;
constexpr std::size_t kReplyValueLength = 8;
constexpr std::size_t kReplyName = 10;
constexpr std::size_t kReplyValue = 26;
constexpr std::size_t kReplyVersion = 34;
constexpr std::size_t kReplyFlashData = 14;
} // namespace at
constexpr std::size_t kRecordNameWidth = 16;

enum class RequestKind { RecordRead, RecordWrite, FirmwareBlock, FlashRead, Unknown };

// Bytes as they were sent, received or recorded, of any length: a field past
// the end reads as zero.
class Bytes {
public:
    Bytes(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    Bytes(const DeviceReport &r) : Bytes(r.data(), r.size()) {}
    Bytes(const std::vector<uint8_t> &b) : Bytes(b.data(), b.size()) {}
    Bytes(const QByteArray &b)
        : Bytes(reinterpret_cast<const uint8_t *>(b.constData()), std::size_t(b.size())) {}

    std::size_t size() const { return size_; }
    uint8_t u8(std::size_t offset) const { return offset < size_ ? data_[offset] : 0; }
    uint16_t u16(std::size_t offset) const { return uint16_t(u8(offset) | u8(offset + 1) << 8); }
    uint32_t u32(std::size_t offset) const {
        return uint32_t(u16(offset)) | uint32_t(u16(offset + 2)) << 16;
    }

private:
    const uint8_t *data_;
    std::size_t size_;
};

RequestKind requestKind(Bytes request);
// The 16-byte name field of a record request, up to its first zero byte
// (empty for other requests).
std::string requestRecordName(Bytes request);
// Where the name field of a record request starts; 0 for other requests.
std::size_t requestNameOffset(RequestKind kind);
// The flash address a firmware block writes or a flash read reads; 0 otherwise.
uint32_t requestAddress(Bytes request);

DeviceReport recordRead(uint16_t productId, const char *recordName);
DeviceReport recordWrite(uint16_t productId, const char *recordName, const QByteArray &value);
DeviceReport firmwareBlock(uint32_t blockIndex, const uint8_t *data512);
DeviceReport flashRead(uint32_t blockIndex);

// One byte per UTF-16 code unit: its Latin-1 code, or '?' outside Latin-1.
QByteArray encodeRecordValue(const QString &text);

// Value length announced by a record reply (bytes 8-9).
inline uint16_t replyValueLength(Bytes reply) {
    return reply.u16(at::kReplyValueLength);
}
// Text of a record reply: the value at offset 26 ("version": 34), clipped to
// the reply buffer and ending at the first zero byte, decoded as UTF-8.
QString replyRecordText(const DeviceReport &reply, bool isVersionRecord);
// How many bytes `reply` must hold for the request it answers to be usable:
// 526 for a flash read (data up to byte 525), the announced value for a
// record read, one for anything else (only its arrival counts).
std::size_t replyBytesNeeded(const DeviceReport &request, const DeviceReport &reply);
// The 512 flash bytes of a flash-read reply (bytes 14-525).
const uint8_t *replyFlashData(const DeviceReport &reply);

} // namespace report
