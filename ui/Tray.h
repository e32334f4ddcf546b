#pragma once

namespace tray {

// Whether the desktop offers a system tray. Tests can pin the answer, since
// the offscreen platform has none.
bool available();
void setAvailabilityForTesting(bool available);
void clearAvailabilityForTesting();

} // namespace tray
