#pragma once
// The lines of a recording (see RecordingFormat.h): one JSON object a line.

#include "device/RecordingFormat.h"

namespace recording {

QByteArray headerLine(const Header &header);
QByteArray exchangeLine(const Exchange &exchange);

} // namespace recording
