#include "device/RecordingReader.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <set>

namespace recording {
namespace {

// Bytes from `hex` padded with zeros to `size`; nullopt when either is unusable.
std::optional<QByteArray> bytesFrom(const QJsonValue &hex, const QJsonValue &size) {
    if (!hex.isString() || !size.isDouble())
        return std::nullopt;
    const double count = size.toDouble();
    if (count < 0 || count > double(kReportSize) || count != int(count))
        return std::nullopt;
    const QByteArray text = hex.toString().toLatin1();
    const bool allHex = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
    if (!allHex || text.size() % 2 != 0 || text.size() / 2 > int(count))
        return std::nullopt;
    QByteArray bytes = QByteArray::fromHex(text);
    bytes.append(QByteArray(int(count) - bytes.size(), '\0'));
    return bytes;
}

std::optional<uint16_t> u16From(const QJsonValue &value, int base) {
    bool ok = value.isDouble();
    const qint64 number = ok ? qint64(value.toDouble(-1)) : value.toString().toLongLong(&ok, base);
    if (!ok || number < 0 || number > 0xFFFF)
        return std::nullopt;
    return uint16_t(number);
}

std::optional<Header> headerFrom(const QJsonObject &o, QString *why) {
    if (o.value(QLatin1String("format")).toString() != QLatin1String(kFormat)) {
        *why = QStringLiteral("not a device session recording");
        return std::nullopt;
    }
    const int version = o.value(QLatin1String("version")).toInt(-1);
    if (version != kFormatVersion) {
        *why = QStringLiteral("recording format version %1; this program reads version %2")
                   .arg(version)
                   .arg(kFormatVersion);
        return std::nullopt;
    }
    Header header;
    header.program = o.value(QLatin1String("program")).toString();
    header.hidapi = o.value(QLatin1String("hidapi")).toString();
    header.date = o.value(QLatin1String("date")).toString();
    header.masked = o.value(QLatin1String("masked")).toBool(true);
    header.holdsFlash = o.value(QLatin1String("holds_flash")).toBool(false);
    header.reportSize = o.value(QLatin1String("report_size")).toInt(int(kReportSize));
    if (header.reportSize != int(kReportSize)) {
        *why = QStringLiteral("reports of %1 bytes").arg(header.reportSize);
        return std::nullopt;
    }
    const QJsonValue path = o.value(QLatin1String("path"));
    if (path.isString()) {
        DeviceNote device;
        device.path = path.toString().toLocal8Bit();
        const auto vendor = u16From(o.value(QLatin1String("vendor_id")), 16);
        const auto product = u16From(o.value(QLatin1String("product_id")), 16);
        const auto usagePage = u16From(o.value(QLatin1String("usage_page")), 10);
        const auto usage = u16From(o.value(QLatin1String("usage")), 10);
        if (device.path.isEmpty() || device.path.contains('\0') || !vendor || !product ||
            !usagePage || !usage) {
            *why = QStringLiteral("the accessory is not described completely");
            return std::nullopt;
        }
        device.vendorId = *vendor;
        device.productId = *product;
        device.usagePage = *usagePage;
        device.usage = *usage;
        header.device = device;
    }
    return header;
}

std::optional<Exchange> exchangeFrom(const QJsonObject &o, int expectedNumber, QString *why) {
    Exchange exchange;
    exchange.number = o.value(QLatin1String("n")).toInt(-1);
    if (exchange.number != expectedNumber) {
        *why = QStringLiteral("exchange number %1, expected %2")
                   .arg(o.value(QLatin1String("n")).toInt(-1))
                   .arg(expectedNumber);
        return std::nullopt;
    }
    const auto request =
        bytesFrom(o.value(QLatin1String("request")), o.value(QLatin1String("request_size")));
    if (!request || request->isEmpty()) {
        *why = QStringLiteral("the request bytes are unusable");
        return std::nullopt;
    }
    exchange.request = *request;
    if (o.contains(QLatin1String("reply"))) {
        const auto reply =
            bytesFrom(o.value(QLatin1String("reply")), o.value(QLatin1String("reply_size")));
        if (!reply || reply->isEmpty()) {
            *why = QStringLiteral("the reply bytes are unusable");
            return std::nullopt;
        }
        exchange.reply = *reply;
    }
    const double ms = o.value(QLatin1String("ms")).toDouble(-1);
    if (ms < 0 || ms > kMaxExchangeMs || ms != int(ms)) {
        *why = QStringLiteral("the delay is not a number of milliseconds up to %1")
                   .arg(kMaxExchangeMs);
        return std::nullopt;
    }
    exchange.ms = int(ms);
    exchange.result = o.value(QLatin1String("result")).toString();
    static const std::set<QString> kResults = {
        QStringLiteral("ok"),       QStringLiteral("write failed"), QStringLiteral("read failed"),
        QStringLiteral("no reply"), QStringLiteral("short reply"),  QStringLiteral("stopped")};
    if (!kResults.count(exchange.result)) {
        *why = QStringLiteral("unknown result \"%1\"").arg(exchange.result.left(40));
        return std::nullopt;
    }
    const bool answered =
        exchange.result == QLatin1String("ok") || exchange.result == QLatin1String("short reply");
    if (answered != exchange.reply.has_value()) {
        *why = QStringLiteral("the result \"%1\" does not fit the reply").arg(exchange.result);
        return std::nullopt;
    }
    exchange.masked = o.value(QLatin1String("masked")).toBool(false);
    return exchange;
}

} // namespace

std::optional<Recording> parse(const QByteArray &text, QString *error) {
    Recording recording;
    bool haveHeader = false;
    int lineNumber = 0;
    for (const QByteArray &line : text.split('\n')) {
        ++lineNumber;
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError parseError{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        QString why;
        if (!document.isObject()) {
            why = QStringLiteral("not a JSON object");
        } else if (!haveHeader) {
            if (auto header = headerFrom(document.object(), &why)) {
                recording.header = *header;
                haveHeader = true;
            }
        } else if (int(recording.exchanges.size()) == kMaxExchanges) {
            why = QStringLiteral("more than %1 exchanges").arg(kMaxExchanges);
        } else if (auto exchange =
                       exchangeFrom(document.object(), int(recording.exchanges.size()) + 1, &why)) {
            recording.exchanges.push_back(std::move(*exchange));
        }
        if (!why.isEmpty()) {
            *error = QStringLiteral("line %1: %2").arg(lineNumber).arg(why);
            return std::nullopt;
        }
    }
    if (!haveHeader) {
        *error = QStringLiteral("the recording is empty");
        return std::nullopt;
    }
    return recording;
}

std::optional<Recording> load(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return std::nullopt;
    }
    if (file.size() > kMaxRecordingBytes) {
        *error = QStringLiteral("larger than %1 MB").arg(kMaxRecordingBytes / (1024 * 1024));
        return std::nullopt;
    }
    // Read up to one byte more than allowed: a file that grows meanwhile (or
    // a device that reports no size) is still refused. In pieces: one read of
    // the whole allowance reserves all of it (128 MB) for a file of a few KB.
    constexpr qint64 kPieceBytes = 1024 * 1024;
    QByteArray text;
    while (text.size() <= kMaxRecordingBytes) {
        const QByteArray piece = file.read(qMin(kPieceBytes, kMaxRecordingBytes + 1 - text.size()));
        if (piece.isEmpty())
            break;
        text += piece;
    }
    if (text.size() > kMaxRecordingBytes) {
        *error = QStringLiteral("larger than %1 MB").arg(kMaxRecordingBytes / (1024 * 1024));
        return std::nullopt;
    }
    return parse(text, error);
}

} // namespace recording
