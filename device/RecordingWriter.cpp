#include "device/RecordingWriter.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace recording {
namespace {

QByteArray trimmedHex(const QByteArray &bytes) {
    int end = bytes.size();
    while (end > 0 && bytes.at(end - 1) == '\0')
        --end;
    return bytes.left(end).toHex();
}

QByteArray jsonString(const QString &text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QString hex4(uint16_t value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

QString requestKind(const QByteArray &request) {
    switch (report::requestKind(request)) {
    case report::RequestKind::RecordRead:
        return QStringLiteral("record read");
    case report::RequestKind::RecordWrite:
        return QStringLiteral("record write");
    case report::RequestKind::FirmwareBlock:
        return QStringLiteral("firmware block");
    case report::RequestKind::FlashRead:
        return QStringLiteral("flash read");
    case report::RequestKind::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QString requestTarget(const QByteArray &request) {
    switch (report::requestKind(request)) {
    case report::RequestKind::RecordRead:
    case report::RequestKind::RecordWrite:
        return QString::fromStdString(report::requestRecordName(request));
    case report::RequestKind::FirmwareBlock:
    case report::RequestKind::FlashRead:
        return QStringLiteral("0x%1").arg(report::requestAddress(request), 0, 16);
    case report::RequestKind::Unknown:
        break;
    }
    return QString();
}

QByteArray headerLine(const Header &header) {
    QByteArray line = "{\"format\":\"" + QByteArray(kFormat) +
                      "\",\"version\":" + QByteArray::number(kFormatVersion) +
                      ",\"program\":" + jsonString(header.program) +
                      ",\"hidapi\":" + jsonString(header.hidapi) +
                      ",\"date\":" + jsonString(header.date);
    if (header.device) {
        const DeviceNote &d = *header.device;
        line += ",\"path\":" + jsonString(QString::fromLocal8Bit(d.path)) + ",\"vendor_id\":\"" +
                hex4(d.vendorId).toLatin1() + "\",\"product_id\":\"" +
                hex4(d.productId).toLatin1() +
                "\",\"usage_page\":" + QByteArray::number(d.usagePage) +
                ",\"usage\":" + QByteArray::number(d.usage);
    }
    line += ",\"report_size\":" + QByteArray::number(header.reportSize);
    line += ",\"masked\":" + QByteArray(header.masked ? "true" : "false");
    line += ",\"holds_flash\":" + QByteArray(header.holdsFlash ? "true" : "false");
    if (header.holdsFlash)
        line += ",\"note\":\"holds flash contents, which may include the account ID and PIN\"";
    return line + "}\n";
}

QByteArray exchangeLine(const Exchange &exchange) {
    const QString target = requestTarget(exchange.request);
    const bool named = !target.startsWith(QLatin1String("0x"));
    QByteArray line = "{\"n\":" + QByteArray::number(exchange.number) +
                      ",\"kind\":" + jsonString(requestKind(exchange.request));
    if (!target.isEmpty())
        line += (named ? ",\"name\":" : ",\"address\":") + jsonString(target);
    line +=
        ",\"result\":" + jsonString(exchange.result) + ",\"ms\":" + QByteArray::number(exchange.ms);
    if (exchange.masked)
        line += ",\"masked\":true";
    line += ",\"request_size\":" + QByteArray::number(exchange.request.size()) + ",\"request\":\"" +
            trimmedHex(exchange.request) + '"';
    if (exchange.reply)
        line += ",\"reply_size\":" + QByteArray::number(exchange.reply->size()) + ",\"reply\":\"" +
                trimmedHex(*exchange.reply) + '"';
    return line + "}\n";
}

} // namespace recording
