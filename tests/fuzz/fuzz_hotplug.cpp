// Hot-plug: the uevent text of a hidraw node's parent and the interface names
// derived from it (or reported by the system) matched against the watched
// list and the open device. The input is up to four texts separated by NUL
// bytes: uevent text, device node, interface name, open device's path.
#include <QList>
#include <QString>

#include "FuzzSupport.h"
#include "device/AccessoryIds.h"
#include "device/Hotplug.h"

namespace {

QList<QString> fields(const uint8_t *data, std::size_t size) {
    QList<QString> parts;
    for (const QByteArray &part :
         QByteArray(reinterpret_cast<const char *>(data), int(size)).split('\0'))
        parts << QString::fromUtf8(part);
    while (parts.size() < 4)
        parts << QString();
    return parts;
}

bool isWatched(const hotplug::HidIdentity &identity) {
    const QString name = hotplug::interfaceName(identity, QString());
    for (const char *watched : accessory::kWatchedNames)
        if (name.startsWith(QLatin1String(watched) + QLatin1Char('#')))
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silenceDebugOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const QList<QString> parts = fields(data, size);
    const QString &uevent = parts[0];
    const QString &devnode = parts[1];
    const QString &reportedName = parts[2];
    const QString &openPath = parts[3];

    hotplug::HidrawNames names;
    const QString derived = hotplug::interfaceNameFromUevent(uevent, devnode);
    names.remember(devnode, derived);
    if (const auto identity = hotplug::parseHidUevent(uevent)) {
        fuzz::expect(derived == hotplug::interfaceName(*identity, devnode),
                     "a node's name is the one its HID_ID gives");
        // Only the node may make a name of an unwatched device look watched.
        if (!devnode.contains(QLatin1String("HID#"), Qt::CaseInsensitive))
            fuzz::expect(hotplug::concernsAccessory(derived) == isWatched(*identity),
                         "a node's name concerns the accessory exactly when its ids are watched");
        fuzz::expect(devnode.isEmpty() || hotplug::namesDevice(derived, devnode),
                     "a node's name denotes the node");
    }
    hotplug::concernsAccessory(reportedName);
    hotplug::namesDevice(reportedName, openPath);
    hotplug::parseHidId(reportedName);
    const QString removed = names.takeForRemoval(devnode, reportedName);
    fuzz::expect(names.size() == 0, "a removed node is forgotten");
    fuzz::expect(removed == (derived.isEmpty() || devnode.isEmpty() ? reportedName : derived),
                 "a removed node keeps the name it was added with");
    return 0;
}
