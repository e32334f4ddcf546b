#pragma once
// The accessory the emulated builds (corvane-emulated, corvane-cli-emulated)
// start with, and how they hand its state back to a test.

#include <QString>
#include <string>

namespace demo {

inline const std::string kDemoPath = "/dev/hidraw-emulated0";

// Attaches the demo accessory with sample records and a recognisable flash,
// makes its version change when firmware arrives, and lets it answer each
// request CORVANE_EMULATOR_REPLY_DELAY_MS late (real full-speed USB: ~20 ms).
void attachDemoAccessory();

// Writes what the demo accessory holds into `dir`: firmware.bin (the image it
// received) and record.<name> for "version", "rp.psnid" and "rp.pin".
void exportState(const QString &dir);

} // namespace demo
