#pragma once
// A recording of the conversation with the accessory: every exchange in
// order, with its request, its reply (or that none came), the time between
// write and reply and what the program concluded, behind a header that names
// the program, the hidapi version and the accessory. Written as JSON Lines
// (one object a line, bytes as hex without their trailing zeros), so that a
// person can read and diff it; the emulated accessory replays it.
//
// Unless recorded unmasked, the values of the "rp.psnid" and "rp.pin"
// records are replaced by placeholders of the same length in record writes
// and record replies. Flash reads are recorded as read: the flash may hold
// those records, so a recording with flash reads is as private as a dump.

#include <QByteArray>
#include <QMutex>
#include <QSaveFile>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "device/DeviceReport.h"

enum class ExchangeResult;

namespace recording {

inline constexpr const char *kFormat = "corvane-session";
inline constexpr int kFormatVersion = 1;
// The placeholder byte of a masked value.
inline constexpr char kMaskByte = 'X';

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

class Recorder {
public:
    Recorder(QString program, bool masked);
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Creates `path` (mode 0600 when new); false with `error` set when it
    // cannot be written. Nothing is in it until finish().
    bool open(const QString &path, QString *error);
    // The accessory opened; the first one is kept for the header.
    void noteDevice(const DeviceNote &device);
    // One exchange: `replyLength` < 0 when no reply was read.
    void noteExchange(const DeviceReport &request, const DeviceReport &reply, int replyLength,
                      int ms, ExchangeResult result);
    // Writes the header and every exchange and commits the file.
    bool finish(QString *error);

    QString path() const;
    bool holdsFlash() const;
    int exchangeCount() const;
    // The recording as it stands (what finish() writes).
    Recording snapshot() const;

private:
    mutable QMutex mutex_;
    QSaveFile file_;
    Recording recording_;
};

// The recorder every exchange reports to, if any (one per process). The
// exchange routine holds a reference for the length of an exchange, so a
// recorder can be removed while a worker is in the middle of one.
void install(std::shared_ptr<Recorder> recorder);
std::shared_ptr<Recorder> active();

// One JSON line of the recording, and back; the reader takes hostile input
// and fails with a message naming the line.
QByteArray headerLine(const Header &header);
QByteArray exchangeLine(const Exchange &exchange);
std::optional<Recording> parse(const QByteArray &text, QString *error);
std::optional<Recording> load(const QString &path, QString *error);

// A recording of at most this many bytes is read (a full flash backup with
// its replies is about 4 MB).
inline constexpr qint64 kMaxRecordingBytes = 64 * 1024 * 1024;

} // namespace recording
