#pragma once
// Writing one named record (rp.psnid, rp.pin) into the device, with nothing
// but Qt Core; the window's Save button and the command-line tool share it.

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "device/DeviceChannel.h"

namespace records {

enum class WriteOutcome { Acknowledged, NotSent, NotAcknowledged, DeviceGone };

// One record write request and its reply. `value` is already encoded (see
// report::encodeRecordValue) and at most kMaxRecordValueLength bytes long.
WriteOutcome writeRecord(DeviceChannel &channel, uint16_t productId, const char *name,
                         const QByteArray &value);

// "The <label> (<name>) was not saved: <reason>." for an outcome other than
// Acknowledged, with `label` the user's word for the record ("account ID").
QString notSavedMessage(const char *label, const char *name, WriteOutcome outcome);

} // namespace records
