#pragma once
// Collects the exchanges of a running program into a recording (see
// RecordingFormat.h) and writes it when asked.
//
// Unless recorded unmasked, the values of the "rp.psnid" and "rp.pin"
// records are replaced by placeholders (see RecordingMask.h). Flash reads are
// recorded as read: the flash may hold those records, so a recording with
// flash reads is as private as a dump.

#include <QMutex>
#include <QString>
#include <memory>

#include "device/RecordingFormat.h"
#include "device/RecordingMask.h"

class PrivateFile;

enum class ExchangeResult;

namespace recording {

class Recorder {
public:
    Recorder(QString program, bool masked);
    ~Recorder();
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
    QString path_;
    std::unique_ptr<PrivateFile> file_;
    Recording recording_;
    Masker masker_;
};

// The recorder every exchange reports to, if any (one per process). The
// exchange routine holds a reference for the length of an exchange, so a
// recorder can be removed while a worker is in the middle of one.
void install(std::shared_ptr<Recorder> recorder);
std::shared_ptr<Recorder> active();

} // namespace recording
