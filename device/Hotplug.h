#pragma once
// Hot-plug decisions as plain functions: which interface names concern the
// accessory, and how a Linux hidraw node gets a name in the same form as the
// interface names Windows reports ("...HID#VID_1ABE&PID_2203...").

#include <QHash>
#include <QString>
#include <cstdint>
#include <optional>

namespace hotplug {

// True when the name contains, ignoring case, one of the watched
// "HID#VID_xxxx&PID_yyyy" fragments.
bool concernsAccessory(const QString &interfaceName);

// True when the interface name denotes the device node at `devicePath`: the
// same path (Windows interface paths, in whatever letter case), or a name
// ending in "#" and the node (the names Linux nodes get here). An empty path
// denotes nothing.
bool namesDevice(const QString &interfaceName, const QString &devicePath);

// The identity a HID device announces in its HID_ID property.
struct HidIdentity {
    uint16_t bus = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// Parses a HID_ID value "bus:vendor:product" in hex, e.g.
// "0003:00001ABE:00002203". Fields wider than the kernel prints them (4, 8, 8
// digits) or with values above 0xFFFF are rejected.
std::optional<HidIdentity> parseHidId(const QString &value);

// Finds and parses the HID_ID line of a HID device's uevent text
// (KEY=VALUE lines).
std::optional<HidIdentity> parseHidUevent(const QString &ueventText);

// "HID#VID_1ABE&PID_2203#/dev/hidraw3": upper-case hex, four digits each.
QString interfaceName(const HidIdentity &identity, const QString &devnode);

// The interface name for a hidraw node whose parent has this uevent text;
// empty when the text carries no valid HID_ID.
QString interfaceNameFromUevent(const QString &ueventText, const QString &devnode);

// The names of the hidraw nodes seen so far. A removed node's parent HID
// device may already be gone, so its name is kept from when it was added.
class HidrawNames {
public:
    void remember(const QString &devnode, const QString &name);
    // The name remembered for a removed node, else `parentName` (the name
    // still derivable from its parent, possibly empty); forgets the node.
    QString takeForRemoval(const QString &devnode, const QString &parentName);
    int size() const { return names_.size(); }

private:
    QHash<QString, QString> names_;
};

} // namespace hotplug
