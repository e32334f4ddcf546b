#include "account/AccountRecords.h"

#include <QDebug>

namespace records {

WriteOutcome writeRecord(DeviceChannel &channel, uint16_t productId, const char *name,
                         const QByteArray &value) {
    DeviceReport reply{};
    const ExchangeResult result = channel.exchange(report::recordWrite(productId, name, value),
                                                   &reply, ReplyWait::Interactive);
    if (result == ExchangeResult::WriteFailed)
        return WriteOutcome::NotSent;
    if (result == ExchangeResult::NoDevice)
        return WriteOutcome::DeviceGone;
    qDebug("write ok:");
    return result == ExchangeResult::Ok ? WriteOutcome::Acknowledged
                                        : WriteOutcome::NotAcknowledged;
}

} // namespace records
