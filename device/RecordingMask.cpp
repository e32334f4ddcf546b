#include "device/RecordingMask.h"

#include "device/AccessoryIds.h"

#include <algorithm>

namespace recording {
namespace {

using report::RequestKind;
namespace at = report::at;

const char *const kPrivateRecords[] = {accessory::kAccountIdRecord, accessory::kPinRecord};
// Shorter values recur by chance; they are masked where they are the value.
constexpr int kShortestSearchedValue = 4;

bool isPrivateRecord(const std::string &name) {
    return std::any_of(std::begin(kPrivateRecords), std::end(kPrivateRecords),
                       [&name](const char *privateName) { return name == privateName; });
}

// The record a reply names (bytes 10-25), up to its first zero byte.
std::string replyRecordName(const QByteArray &reply) {
    const QByteArray field = reply.mid(int(at::kReplyName), int(report::kRecordNameWidth));
    const int end = field.indexOf('\0');
    return (end < 0 ? field : field.left(end)).toStdString();
}

// Replaces `length` bytes from `from` (clipped to `bytes`) with the
// placeholder; true when anything was replaced.
bool maskRange(QByteArray &bytes, int from, int length) {
    const int end = std::min<int>(bytes.size(), from + length);
    for (int i = from; i < end; ++i)
        bytes[i] = kMaskByte;
    return end > from;
}

} // namespace

void Masker::remember(const QByteArray &bytes, int from, int length) {
    const QByteArray value = bytes.mid(from, length);
    if (value.size() >= kShortestSearchedValue &&
        std::find(values_.begin(), values_.end(), value) == values_.end())
        values_.push_back(value);
}

bool Masker::maskKnownValues(QByteArray &bytes, int from) const {
    bool masked = false;
    for (const QByteArray &value : values_) {
        for (int found = bytes.indexOf(value, from); found >= 0;
             found = bytes.indexOf(value, found + value.size()))
            masked = maskRange(bytes, found, value.size()) || masked;
    }
    return masked;
}

void Masker::mask(Exchange &exchange) {
    const RequestKind kind = report::requestKind(exchange.request);
    const bool privateRequest = isPrivateRecord(report::requestRecordName(exchange.request));
    if (kind == RequestKind::RecordWrite) {
        const int length = report::Bytes(exchange.request).u16(at::kWriteValueLength);
        if (privateRequest) {
            remember(exchange.request, int(at::kWriteValue), length);
            exchange.masked = maskRange(exchange.request, int(at::kWriteValue), length);
        }
        exchange.masked =
            maskKnownValues(exchange.request, int(at::kWriteValue)) || exchange.masked;
    }
    if (!exchange.reply)
        return;
    QByteArray &reply = *exchange.reply;
    if (kind == RequestKind::RecordWrite || kind == RequestKind::FirmwareBlock) {
        reply.fill('\0');
        return;
    }
    if (kind == RequestKind::FlashRead)
        return;
    if (kind == RequestKind::RecordRead &&
        (privateRequest || isPrivateRecord(replyRecordName(reply)))) {
        const int length = report::replyValueLength(reply);
        remember(reply, int(at::kReplyValue), length);
        exchange.masked = maskRange(reply, int(at::kReplyValue), length) || exchange.masked;
    }
    exchange.masked = maskKnownValues(reply, 0) || exchange.masked;
}

} // namespace recording
