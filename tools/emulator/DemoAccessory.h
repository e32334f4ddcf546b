#pragma once
// The accessory the emulated builds (corvane-emulated, corvane-cli-emulated)
// start with, and how they keep its state between runs.

#include <QString>
#include <string>

namespace demo {

inline const std::string kDemoPath = "/dev/hidraw-emulated0";

// Gives the demo accessory sample records and a recognisable flash, makes its
// version change when firmware arrives, and lets it answer each request
// CORVANE_EMULATOR_REPLY_DELAY_MS late (real full-speed USB: ~20 ms). Holds
// whether or not it is attached, so that plugging it in later finds the same.
void prepareDemoAccessory();

// Attaches the demo accessory (1abe:2203 at kDemoPath) if it is not attached.
void plugInDemoAccessory();

// prepareDemoAccessory() and then plugInDemoAccessory().
void attachDemoAccessory();

// Restores what exportState() saved in `dir`, file by file; a missing file
// keeps what the accessory holds.
void restoreState(const QString &dir);

// Writes what the demo accessory holds into `dir`: firmware.bin (the image it
// received) and record.<name> for "version", "rp.psnid" and "rp.pin".
void exportState(const QString &dir);

} // namespace demo
