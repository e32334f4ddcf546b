#pragma once
// Files that hold the user's data (the flash dump with its records, the saved
// diagnostic log) are written atomically through QSaveFile and are readable by
// their owner only.
//
// Only a regular file or a name not yet taken is written. Anything else the
// user names (a FIFO, a device node such as /dev/null, a folder, a socket) is
// refused with what it is, and so is a symbolic link, whatever it points to:
// the atomic write would replace the link's target, which may be a file of
// someone else or a device node. Folders on the way may be links.

#include <QIODevice>
#include <QString>

class QSaveFile;

// Why nothing may be written at `path`, as a clause for "cannot be created:
// ..."; empty when a private file may be written there.
QString privateFileRefusal(const QString &path);

// Opens `file` like QSaveFile::open after privateFileRefusal found nothing
// against its name. The file it commits always gets mode 0600, also when an
// existing file had another mode. On failure `error` says why.
bool openPrivately(QSaveFile &file, QString *error,
                   QIODevice::OpenMode mode = QIODevice::WriteOnly);

// Whether a private file can be written at `path` (else why not, in `reason`):
// the checks and the temporary file of openPrivately, made before a long job
// so that it fails before the work rather than after. Leaves neither a new
// file nor a change to an existing one behind.
bool canWritePrivately(const QString &path, QString *reason);
