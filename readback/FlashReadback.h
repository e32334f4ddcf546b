#pragma once
// Reading the device's whole 512 KiB flash into a file, with nothing but Qt
// Core: one flash-read request and reply per 512-byte block. The window's
// worker thread and the command-line tool both run this code.

#include <QString>
#include <cstdint>
#include <functional>

#include "device/DeviceJob.h"

namespace readback {

using Outcome = JobOutcome;
using BackupResult = JobResult;
using ReadObserver = DeviceJobObserver;

// What holds off sleep while the read-back runs, as the desktop lists it.
inline const char *const kJobName = "Backing up the accessory's flash";

// Whether a backup file can be created at `path` (else why not, in
// `reason`), checked before the device is read for a minute: the checks of
// canWritePrivately. Leaves neither a new file nor a change to an existing
// one behind.
bool canCreate(const QString &path, QString *reason);

// The sentence for a read-back that did not succeed; empty for one that did.
QString failureText(const BackupResult &result);

// Reads the whole flash and writes it to `path` through PrivateFile (the
// file gets mode 0600, as it holds the account ID and PIN; a FIFO, device
// node, folder or link at `path` is refused). The file is written beside
// the target and renamed over it only once everything succeeded, so a failed
// backup never leaves a file that looks like a good one (and an older backup
// at the path survives).
BackupResult backUpFlash(DeviceChannel &channel, const QString &path, const ReadObserver &observer);

} // namespace readback
