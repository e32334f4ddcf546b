// corvane-cli set: writes the account ID, the PIN or both.
#include <QJsonArray>
#include <vector>

#include "account/AccountRecords.h"
#include "cli/CliApp.h"
#include "cli/CliCommands.h"
#include "cli/CliDevice.h"
#include "cli/CliOutput.h"
#include "cli/CliTerminal.h"
#include "cli/CommandBase.h"
#include "device/DeviceReport.h"

namespace cli {
namespace {

struct RecordValue {
    const char *name;
    const char *label;
    QByteArray encoded;
};

// Why a value cannot be written as given; empty when it can.
QString valueProblem(const QString &value, const char *label, bool allowEmpty) {
    if (value.isEmpty() && !allowEmpty)
        return QStringLiteral("The %1 is empty; pass --allow-empty to write an empty value.")
            .arg(QLatin1String(label));
    // The device stores one Latin-1 byte per character; anything else would
    // arrive as '?', a value the user did not ask for.
    if (QString::fromLatin1(value.toLatin1()) != value)
        return QStringLiteral("The %1 holds characters the accessory cannot store (only "
                              "Latin-1 characters fit).")
            .arg(QLatin1String(label));
    if (value.size() > kMaxRecordValueLength)
        return QStringLiteral("The %1 is too long for the device (at most %2 characters).")
            .arg(QLatin1String(label))
            .arg(kMaxRecordValueLength);
    return QString();
}

// Replaces each value given as "-" by a line of standard input, in the order
// account ID, PIN; returns kExitDone or the exit code of a failure it reported.
int readValuesFromInput(const Request &request, std::optional<QString> &account,
                        std::optional<QString> &pin) {
    const struct {
        std::optional<QString> &value;
        const char *prompt;
    } fields[] = {{account, "Account ID: "}, {pin, "PIN: "}};
    for (const auto &field : fields) {
        if (!field.value || *field.value != QLatin1String("-"))
            continue;
        const std::optional<QString> line =
            readInputLine(QLatin1String(field.prompt), /*secret=*/true);
        if (!line)
            return fail(request, kExitUsage,
                        QStringLiteral("Standard input ended before the value for \"-\" was "
                                       "given."));
        field.value = *line;
    }
    return kExitDone;
}

// The values to write, checked and encoded; returns kExitDone or the exit
// code of a failure it reported.
int gatherValues(const Request &request, std::vector<RecordValue> &values) {
    std::optional<QString> account = request.account;
    std::optional<QString> pin = request.pin;
    if (const int code = readValuesFromInput(request, account, pin))
        return code;
    const struct {
        const std::optional<QString> &value;
        const char *name;
        const char *label;
    } given[] = {{account, accessory::kAccountIdRecord, "account ID"},
                 {pin, accessory::kPinRecord, "PIN"}};
    for (const auto &field : given) {
        if (!field.value)
            continue;
        const QString problem = valueProblem(*field.value, field.label, request.allowEmpty);
        if (!problem.isEmpty())
            return fail(request, kExitUsage, problem);
        values.push_back({field.name, field.label, report::encodeRecordValue(*field.value)});
    }
    return kExitDone;
}

} // namespace

int setRecords(const Request &request) {
    if (!request.account && !request.pin)
        return fail(request, kExitUsage, QStringLiteral("set needs --account, --pin or both."));
    std::vector<RecordValue> values;
    if (const int code = gatherValues(request, values))
        return code;
    CliDevice device;
    if (const int code = device.open(request))
        return code;
    QJsonArray written;
    bool allAcknowledged = true;
    for (const RecordValue &value : values) {
        const records::WriteOutcome outcome = records::writeRecord(
            device.channel(), device.attached().productId, value.name, value.encoded);
        const bool acknowledged = outcome == records::WriteOutcome::Acknowledged;
        allAcknowledged = allAcknowledged && acknowledged;
        written.append(QJsonObject{{QStringLiteral("name"), QLatin1String(value.name)},
                                   {QStringLiteral("acknowledged"), acknowledged}});
        if (!request.json)
            printResult(QStringLiteral("%1: %2").arg(
                QLatin1String(value.name), acknowledged ? QStringLiteral("acknowledged")
                                                        : QStringLiteral("not acknowledged")));
        if (!acknowledged)
            printMessage(records::notSavedMessage(value.label, value.name, outcome));
    }
    if (request.json) {
        QJsonObject object = describe(device.attached());
        object.insert(QStringLiteral("records"), written);
        printJson(object);
    }
    return allAcknowledged ? kExitDone : kExitDeviceFailed;
}

} // namespace cli
