#include "device/UnitReturn.h"

#include <QThread>
#include <utility>

namespace accessory {
namespace {

// A unit without a serial number is told apart by vendor and product only.
bool sameUnit(const Attached &unit, const Attached &candidate) {
    return unit.vendorId == candidate.vendorId && unit.productId == candidate.productId &&
           (unit.serial.isEmpty() || unit.serial == candidate.serial);
}

} // namespace

UnitReturn::UnitReturn(Attached unit) : unit_(std::move(unit)), deadline_(kRestartWaitMs) {}

std::optional<Attached> UnitReturn::look() const {
    std::optional<Attached> found;
    for (const Attached &candidate : listAttached()) {
        if (!sameUnit(unit_, candidate))
            continue;
        if (candidate.path == unit_.path)
            return candidate;
        if (!found)
            found = candidate;
    }
    return found;
}

bool UnitReturn::await(const std::function<bool(const Attached &)> &take,
                       const std::function<bool()> &stop) const {
    for (;;) {
        if (const std::optional<Attached> found = look())
            if (take(*found))
                return true;
        if (overdue() || stop())
            return false;
        QThread::msleep(kPollMs);
    }
}

} // namespace accessory
