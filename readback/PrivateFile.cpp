#include "readback/PrivateFile.h"

#include <QFileInfo>
#include <QSaveFile>

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kModeBits =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
    QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

} // namespace

bool openPrivately(QSaveFile &file, QIODevice::OpenMode mode) {
    const QFileInfo existing(file.fileName());
    const QFileDevice::Permissions wanted =
        existing.exists() ? existing.permissions() & kModeBits : kOwnerOnly;
    if (!file.open(mode))
        return false;
    // Applies to the temporary file, before anything is written into it; the
    // commit renames it over the target with this mode.
    if (!file.setPermissions(wanted)) {
        file.cancelWriting();
        return false;
    }
    return true;
}
