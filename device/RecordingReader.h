#pragma once
// Reading a recording back (see RecordingFormat.h). The reader takes hostile
// input and fails with a message naming the line.

#include <QString>
#include <optional>

#include "device/RecordingFormat.h"

namespace recording {

std::optional<Recording> parse(const QByteArray &text, QString *error);
std::optional<Recording> load(const QString &path, QString *error);

// A recording of at most this many bytes is read (a full flash backup with
// its replies is about 4 MB).
inline constexpr qint64 kMaxRecordingBytes = 64 * 1024 * 1024;
// And of at most this many exchanges: what a file of short lines expands to
// is bounded too (a full backup is about 1,030 exchanges, an update about as
// many).
inline constexpr int kMaxExchanges = 10000;

} // namespace recording
