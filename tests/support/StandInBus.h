#pragma once
// A private system bus (dbus-daemon with tests/dbus/system-bus.conf) with the
// logind and UPower stand-ins of tests/dbus/standins.py on it, for the whole
// test program: Qt keeps its system bus connection once made, so the bus is
// started before the program's first use of it and DBUS_SYSTEM_BUS_ADDRESS
// names it. Both processes end with this object.

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class StandInBus {
public:
    StandInBus();
    ~StandInBus();
    StandInBus(const StandInBus &) = delete;
    StandInBus &operator=(const StandInBus &) = delete;

    // Empty when the bus runs; otherwise why not (dbus-daemon or python3-dbus
    // missing), for QSKIP.
    QString problem() const { return problem_; }
    QString address() const { return address_; }

    // What the stand-ins answer from now on: UPower gone (`upower` false), or
    // the power supply; logind refusing inhibitors.
    void setPower(bool upower, bool onBattery, bool batteryPresent, double percentage);
    void setRefuseInhibit(bool refuse);

    // The inhibitors taken ("take", with what, who, why, mode) and released
    // ("release"), in order, each with its id and times.
    QList<QJsonObject> events() const;
    // Taken and not yet released.
    int held() const;
    void clearEvents();

private:
    void writeState();

    QTemporaryDir dir_;
    QProcess daemon_;
    QProcess standIns_;
    QString address_;
    QString problem_;
    QJsonObject state_;
};
