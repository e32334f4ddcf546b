#include "device/PortableFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "device/DeviceSession.h"

namespace accessory {

namespace {

const char *const kRuleInstaller = "install-udev-rule.sh";

// Quoted for a POSIX shell: the folder may lie anywhere, spaces and all.
QString shellQuoted(const QString &text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

QString portableFolder() {
    if (!QCoreApplication::instance())
        return QString();
    const QDir top(QCoreApplication::applicationDirPath() + QLatin1String("/.."));
    if (!QFileInfo(top.filePath(QLatin1String(kRuleInstaller))).isFile())
        return QString();
    return top.absolutePath();
}

QString permissionHint() {
    const QString folder = portableFolder();
    if (folder.isEmpty())
        return QString::fromUtf8(kPermissionHint);
    return QStringLiteral("The accessory was found but could not be opened. On Linux this is "
                          "almost always a missing udev rule: run %1 once (it asks for an "
                          "administrator's password), then unplug and replug the accessory.")
        .arg(shellQuoted(QDir(folder).filePath(QLatin1String(kRuleInstaller))));
}

} // namespace accessory
