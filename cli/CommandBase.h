#pragma once
// What the commands of corvane-cli share: how a failure is reported and how
// an accessory and a value are shown.

#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <optional>

#include "device/DeviceJob.h"

namespace accessory {
struct Attached;
}

namespace cli {

struct Request;
class Progress;

// The message on standard error; with --json also an error object on
// standard output, so that a script always has something to parse. Returns
// `exitCode`.
int fail(const Request &request, int exitCode, const QString &message);

QString hex4(uint16_t value);

// Path, vendor and product, as every JSON result names the accessory.
QJsonObject describe(const accessory::Attached &attached);

QString textOrEmpty(const std::optional<QString> &text);
QString displayed(const QString &text); // "(empty)" for an empty text

// Reports a job's steps and blocks to `progress`; a Ctrl-C stops the job.
DeviceJobObserver progressObserver(Progress &progress);

} // namespace cli
