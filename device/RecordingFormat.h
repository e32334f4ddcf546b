#pragma once
// A recording of the conversation with the accessory: every exchange in
// order, with its request, its reply (or that none came), the time between
// write and reply and what the program concluded, behind a header that names
// the program, the hidapi version and the accessory. Written as JSON Lines
// (one object a line, bytes as hex without their trailing zeros), so that a
// person can read and diff it; the emulated accessory replays it.
// RecordingWriter writes these lines, RecordingReader reads them back and
// SessionRecorder collects a running program's exchanges.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "device/DeviceReport.h"

namespace recording {

inline constexpr const char *kFormat = "corvane-session";
inline constexpr int kFormatVersion = 1;
// The placeholder byte of a masked value.
inline constexpr char kMaskByte = 'X';
// The most a recorded exchange may claim to have waited (ten minutes).
inline constexpr int kMaxExchangeMs = 600000;

struct DeviceNote {
    QByteArray path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
};

struct Exchange {
    int number = 0; // 1-based, in order
    QByteArray request;
    std::optional<QByteArray> reply; // the bytes hid_read gave; empty: none came
    int ms = 0;                      // write to reply (or to giving up)
    QString result;                  // exchangeResultName() of the outcome
    bool masked = false;             // a record value in it was replaced
};

struct Header {
    QString program;
    QString hidapi;
    QString date;
    std::optional<DeviceNote> device; // none when no accessory was opened
    int reportSize = int(kReportSize);
    bool masked = true;
    bool holdsFlash = false;
};

struct Recording {
    Header header;
    std::vector<Exchange> exchanges;
};

// What a request is, for tables and messages: "record read", "record write",
// "firmware block", "flash read" or "unknown".
QString requestKind(const QByteArray &request);
// The record name of a record request, or the block address ("0x7fe00") of a
// firmware block or flash read; empty otherwise.
QString requestTarget(const QByteArray &request);

} // namespace recording
