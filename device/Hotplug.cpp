// Hot-plug: which interfaces concern the accessory and the names Linux nodes get.
#include "device/Hotplug.h"

#include <QStringList>

#include "device/AccessoryIds.h"

namespace {

// Digits the kernel prints for each HID_ID field ("%04X:%08X:%08X").
constexpr int kBusDigits = 4;
constexpr int kIdDigits = 8;

int hexDigitValue(QChar c) {
    const int code = c.unicode();
    if (code >= '0' && code <= '9')
        return code - '0';
    if (code >= 'a' && code <= 'f')
        return code - 'a' + 10;
    if (code >= 'A' && code <= 'F')
        return code - 'A' + 10;
    return -1;
}

std::optional<uint16_t> parseHexField(const QString &field, int maxDigits) {
    if (field.isEmpty() || field.size() > maxDigits)
        return std::nullopt;
    uint32_t value = 0;
    for (const QChar c : field) {
        const int digit = hexDigitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + uint32_t(digit);
    }
    if (value > 0xFFFF)
        return std::nullopt;
    return uint16_t(value);
}

QString hex4(uint16_t value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

namespace hotplug {

bool concernsAccessory(const QString &interfaceName) {
    for (const char *fragment : accessory::kWatchedNames) {
        if (interfaceName.contains(QLatin1String(fragment), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool namesDevice(const QString &interfaceName, const QString &devicePath) {
    if (devicePath.isEmpty())
        return false;
    return interfaceName.compare(devicePath, Qt::CaseInsensitive) == 0 ||
           interfaceName.endsWith(QLatin1Char('#') + devicePath, Qt::CaseInsensitive);
}

std::optional<HidIdentity> parseHidId(const QString &value) {
    const QStringList fields = value.split(QLatin1Char(':'));
    if (fields.size() != 3)
        return std::nullopt;
    const auto bus = parseHexField(fields[0], kBusDigits);
    const auto vendor = parseHexField(fields[1], kIdDigits);
    const auto product = parseHexField(fields[2], kIdDigits);
    if (!bus || !vendor || !product)
        return std::nullopt;
    return HidIdentity{*bus, *vendor, *product};
}

std::optional<HidIdentity> parseHidUevent(const QString &ueventText) {
    const QString key = QStringLiteral("HID_ID=");
    const QStringList lines = ueventText.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(key))
            return parseHidId(line.mid(key.size()).trimmed());
    }
    return std::nullopt;
}

QString interfaceName(const HidIdentity &identity, const QString &devnode) {
    return QStringLiteral("HID#VID_%1&PID_%2#%3")
        .arg(hex4(identity.vendorId), hex4(identity.productId), devnode);
}

QString interfaceNameFromUevent(const QString &ueventText, const QString &devnode) {
    const auto identity = parseHidUevent(ueventText);
    return identity ? interfaceName(*identity, devnode) : QString();
}

void HidrawNames::remember(const QString &devnode, const QString &name) {
    if (!devnode.isEmpty() && !name.isEmpty())
        names_.insert(devnode, name);
}

QString HidrawNames::takeForRemoval(const QString &devnode, const QString &parentName) {
    const QString remembered = names_.take(devnode);
    return remembered.isEmpty() ? parentName : remembered;
}

} // namespace hotplug
