#pragma once

#include <QString>

// Whether the computer can be trusted to stay on for a firmware update: a
// laptop on a nearly empty battery may switch itself off halfway.
struct PowerSupply {
    bool onBattery = false;  // false also when it cannot be told (no UPower)
    int batteryPercent = -1; // -1: no battery present, or its charge unknown
};

// Below this charge on battery, an update asks first (window) or is refused
// (corvane-cli without --force).
inline constexpr int kLowBatteryPercent = 25;

// Asks UPower on the system bus (on Windows, GetSystemPowerStatus).
PowerSupply readPowerSupply();

bool batteryTooLow(const PowerSupply &power);

// "The battery is at 18 % and the computer is not plugged in", for the
// question or the refusal.
QString lowBatteryText(const PowerSupply &power);
