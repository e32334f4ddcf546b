#pragma once
// Finding the same accessory again after a firmware update. The accessory
// restarts and may come back under a new node; what comes back is taken only
// when it is the same unit (vendor, product and serial), never another one,
// and only for kRestartWaitMs. The window looks on a timer, the command-line
// tool in a loop; both look through this class.

#include <QDeadlineTimer>
#include <functional>
#include <optional>

#include "device/DeviceSession.h"
#include "device/DeviceWaits.h"

namespace accessory {

class UnitReturn {
public:
    static constexpr int kPollMs = kRestartPollMs;

    // The wait for `unit` begins now.
    explicit UnitReturn(Attached unit);

    // One look: the attached interface of the unit, at its old path if it is
    // still there; nullopt when the unit is not back.
    std::optional<Attached> look() const;
    // The wait is over; the unit did not come back in time.
    bool overdue() const { return deadline_.hasExpired(); }

    // For a caller without an event loop: looks every kPollMs until `take`
    // accepts the unit found (it returns false when, say, the new node cannot
    // be opened yet), the wait is over or `stop` says so. True when taken.
    bool await(const std::function<bool(const Attached &)> &take,
               const std::function<bool()> &stop) const;

private:
    Attached unit_;
    QDeadlineTimer deadline_;
};

} // namespace accessory
