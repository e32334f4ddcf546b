#pragma once
// Looks at a firmware image before its first block goes out: any file can be
// sent, but a browser's saved web page, an archive that still holds the
// image or an empty flash dump is plainly not one.

#include <QByteArray>
#include <QString>

namespace firmware {

// What `image` plainly is instead of firmware, as the end of a sentence
// ("looks like a ZIP archive", "holds nothing but 0xFF bytes"); empty when
// nothing speaks against it.
QString notFirmwareReason(const QByteArray &image);

// The SHA-256 of `image` in lower-case hex, to compare with the checksum the
// accessory's maker publishes.
QString sha256Hex(const QByteArray &image);

// Says that the last block is filled up with 0xFF, for an image that is not a
// whole number of blocks; empty otherwise.
QString paddingNote(qint64 imageSize);

} // namespace firmware
