#pragma once
// Writing one named record (rp.psnid, rp.pin) into the device, with nothing
// but Qt Core; the window's Save button and the command-line tool share it.

#include <QByteArray>
#include <cstdint>

#include "device/DeviceChannel.h"

namespace records {

enum class WriteOutcome { Acknowledged, NotSent, NotAcknowledged, DeviceGone };

// One record write request and its reply. `value` is already encoded (see
// report::encodeRecordValue) and at most kMaxRecordValueLength bytes long.
WriteOutcome writeRecord(DeviceChannel &channel, uint16_t productId, const char *name,
                         const QByteArray &value);

} // namespace records
