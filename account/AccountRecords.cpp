#include "account/AccountRecords.h"

#include <QDebug>

namespace records {

WriteOutcome writeRecord(DeviceChannel &channel, uint16_t productId, const char *name,
                         const QByteArray &value) {
    DeviceReport reply{};
    const ExchangeResult result = channel.exchange(report::recordWrite(productId, name, value),
                                                   &reply, ReplyWait::RecordWrite);
    if (result == ExchangeResult::WriteFailed)
        return WriteOutcome::NotSent;
    if (result == ExchangeResult::NoDevice)
        return WriteOutcome::DeviceGone;
    qDebug("write ok:");
    return result == ExchangeResult::Ok ? WriteOutcome::Acknowledged
                                        : WriteOutcome::NotAcknowledged;
}

QString notSavedMessage(const char *label, const char *name, WriteOutcome outcome) {
    const char *reason = outcome == WriteOutcome::NotSent ? "it could not be sent to the device"
                         : outcome == WriteOutcome::DeviceGone
                             ? "the device is no longer connected"
                             : "the device did not acknowledge it";
    return QStringLiteral("The %1 (%2) was not saved: %3.")
        .arg(QLatin1String(label), QLatin1String(name), QLatin1String(reason));
}

} // namespace records
