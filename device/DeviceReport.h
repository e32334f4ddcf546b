#pragma once
// The accessory's 1024-byte device report: builders for the four request kinds
// and parsers for the reply fields the program uses. Nothing here reads or
// writes outside a report buffer, whatever a reply claims.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kReportSize = 1024;
constexpr std::size_t kFirmwareBlockSize = 512;
constexpr std::size_t kFlashBlockSize = 512;
constexpr std::size_t kFlashSize = 512 * 1024;
constexpr int kFlashBlockCount = int(kFlashSize / kFlashBlockSize);
// A record value starts at request offset 27, so at most this many bytes fit.
constexpr int kMaxRecordValueLength = int(kReportSize) - 27;

using DeviceReport = std::array<uint8_t, kReportSize>;

namespace report {

DeviceReport recordRead(uint16_t productId, const char *recordName);
DeviceReport recordWrite(uint16_t productId, const char *recordName, const QByteArray &value);
DeviceReport firmwareBlock(uint32_t blockIndex, const uint8_t *data512);
DeviceReport flashRead(uint32_t blockIndex);

// One byte per UTF-16 code unit: its Latin-1 code, or '?' outside Latin-1.
QByteArray encodeRecordValue(const QString &text);

// Value length announced by a record reply (bytes 8-9).
uint16_t replyValueLength(const DeviceReport &reply);
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
