#pragma once
// Files that hold the user's data (the flash dump with its records, the saved
// diagnostic log) are written atomically through QSaveFile and are readable by
// their owner only.

#include <QIODevice>

class QSaveFile;

// Opens `file` like QSaveFile::open. The file it commits gets mode 0600 when
// it is new; an existing file keeps its mode, which is never widened.
bool openPrivately(QSaveFile &file, QIODevice::OpenMode mode = QIODevice::WriteOnly);
