#pragma once
// Sending a firmware image to the device, with nothing but Qt Core: 512-byte
// blocks, one request and one acknowledged reply each. The window's worker
// thread and the command-line tool both run this loop.

#include <QByteArray>
#include <QString>
#include <functional>

#include "device/DeviceJob.h"

namespace firmware {

using Outcome = JobOutcome;
using TransferResult = JobResult;
using TransferObserver = DeviceJobObserver;

// What holds off sleep while the transfer runs, as the desktop lists it.
inline const char *const kJobName = "Updating the accessory's firmware";

// Reads the whole image at `path` into `image`; returns why it cannot be sent
// (unreadable, empty, larger than the flash), or an empty string. The
// transfer reads it this way before the first block goes out, so a file that
// cannot be read completely never leaves a partly written flash.
QString loadImage(const QString &path, QByteArray &image);

// Loads the image at `path` and sends it; a file problem is a FileError.
TransferResult sendImageFile(DeviceChannel &channel, const QString &path,
                             const TransferObserver &observer);

// Sends `image` (at most the flash size); a short last block is filled up
// with the erased-flash byte 0xFF.
TransferResult sendImage(DeviceChannel &channel, const QByteArray &image,
                         const TransferObserver &observer);

// The sentence for a transfer that did not succeed; empty for one that did.
QString failureText(const TransferResult &result);

} // namespace firmware
