#include "device/PowerSupply.h"

#include <QDebug>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#endif

namespace {

#ifndef Q_OS_WIN
constexpr int kUPowerCallMs = 3000;
const QString kUPower = QStringLiteral("org.freedesktop.UPower");

QVariant upowerProperty(QDBusConnection &bus, const QString &path, const QString &interface,
                        const QString &name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kUPower, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << interface << name;
    const QDBusReply<QDBusVariant> reply = bus.call(call, QDBus::Block, kUPowerCallMs);
    return reply.isValid() ? reply.value().variant() : QVariant();
}
#endif

} // namespace

PowerSupply readPowerSupply() {
    PowerSupply power;
#ifdef Q_OS_WIN
    SYSTEM_POWER_STATUS status;
    if (!GetSystemPowerStatus(&status))
        return power;
    constexpr BYTE kOffline = 0, kNoBattery = 128, kUnknownPercent = 255;
    power.onBattery = status.ACLineStatus == kOffline;
    if (!(status.BatteryFlag & kNoBattery) && status.BatteryLifePercent != kUnknownPercent)
        power.batteryPercent = status.BatteryLifePercent;
#else
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return power;
    power.onBattery = upowerProperty(bus, QStringLiteral("/org/freedesktop/UPower"), kUPower,
                                     QStringLiteral("OnBattery"))
                          .toBool();
    const QString display = QStringLiteral("/org/freedesktop/UPower/devices/DisplayDevice");
    const QString device = QStringLiteral("org.freedesktop.UPower.Device");
    const QVariant present = upowerProperty(bus, display, device, QStringLiteral("IsPresent"));
    const QVariant percent = upowerProperty(bus, display, device, QStringLiteral("Percentage"));
    if (present.toBool() && percent.isValid())
        power.batteryPercent = qRound(percent.toDouble());
#endif
    qDebug("power: %s, battery %d %%", power.onBattery ? "on battery" : "mains or unknown",
           power.batteryPercent);
    return power;
}

bool batteryTooLow(const PowerSupply &power) {
    return power.onBattery && power.batteryPercent >= 0 &&
           power.batteryPercent < kLowBatteryPercent;
}

QString lowBatteryText(const PowerSupply &power) {
    return QStringLiteral("The battery is at %1 % and the computer is not plugged in; if it "
                          "switches off during the update, the accessory may not start again.")
        .arg(power.batteryPercent);
}
