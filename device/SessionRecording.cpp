#include "device/SessionRecording.h"

#include "device/AccessoryIds.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <algorithm>
#include <set>

#include "common/PrivateFile.h"
#include "device/DeviceChannel.h"

namespace recording {
namespace {

const char *const kPrivateRecords[] = {accessory::kAccountIdRecord, accessory::kPinRecord};
// The most a recorded exchange may claim to have waited (ten minutes).
constexpr int kMaxMs = 600000;

uint8_t byteAt(const QByteArray &bytes, int at) {
    return at < bytes.size() ? uint8_t(bytes.at(at)) : 0;
}

uint16_t u16At(const QByteArray &bytes, int at) {
    return uint16_t(byteAt(bytes, at) | byteAt(bytes, at + 1) << 8);
}

uint32_t u32At(const QByteArray &bytes, int at) {
    return uint32_t(u16At(bytes, at)) | uint32_t(u16At(bytes, at + 2)) << 16;
}

bool isKind(const QByteArray &request, uint8_t command, uint8_t target) {
    return byteAt(request, 3) == command && byteAt(request, 4) == target;
}

// The zero-padded 16-byte name at `at`, up to its first zero byte.
QByteArray nameAt(const QByteArray &request, int at) {
    const QByteArray field = request.mid(at, 16);
    const int end = field.indexOf('\0');
    return end < 0 ? field : field.left(end);
}

bool isPrivateRecord(const QByteArray &name) {
    return std::any_of(std::begin(kPrivateRecords), std::end(kPrivateRecords),
                       [&name](const char *privateName) { return name == privateName; });
}

// Replaces `length` bytes from `at` (clipped to `bytes`) with the placeholder;
// true when anything was replaced.
bool maskRange(QByteArray &bytes, int at, int length) {
    const int end = std::min<int>(bytes.size(), at + length);
    for (int i = at; i < end; ++i)
        bytes[i] = kMaskByte;
    return end > at;
}

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
    if (ms < 0 || ms > kMaxMs || ms != int(ms)) {
        *why = QStringLiteral("the delay is not a number of milliseconds up to %1").arg(kMaxMs);
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

QMutex g_activeMutex;
std::shared_ptr<Recorder> g_active;

} // namespace

QString requestKind(const QByteArray &request) {
    if (isKind(request, 1, 3))
        return QStringLiteral("record read");
    if (isKind(request, 0, 3))
        return QStringLiteral("record write");
    if (isKind(request, 2, 1))
        return QStringLiteral("firmware block");
    if (isKind(request, 1, 2))
        return QStringLiteral("flash read");
    return QStringLiteral("unknown");
}

QString requestTarget(const QByteArray &request) {
    const auto address = [](uint32_t value) { return QStringLiteral("0x%1").arg(value, 0, 16); };
    if (isKind(request, 1, 3))
        return QString::fromLatin1(nameAt(request, 9));
    if (isKind(request, 0, 3))
        return QString::fromLatin1(nameAt(request, 11));
    if (isKind(request, 2, 1))
        return address(u32At(request, 9));
    if (isKind(request, 1, 2))
        return address(u32At(request, 11));
    return QString();
}

Recorder::Recorder(QString program, bool masked) {
    recording_.header.program = std::move(program);
#ifdef HID_API_VERSION_STR
    recording_.header.hidapi = QStringLiteral(HID_API_VERSION_STR);
#else
    recording_.header.hidapi = QStringLiteral("unknown");
#endif
    recording_.header.date = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    recording_.header.masked = masked;
}

bool Recorder::open(const QString &path, QString *error) {
    QMutexLocker lock(&mutex_);
    file_.setFileName(path);
    return openPrivately(file_, error);
}

void Recorder::noteDevice(const DeviceNote &device) {
    QMutexLocker lock(&mutex_);
    if (!recording_.header.device)
        recording_.header.device = device;
}

void Recorder::noteExchange(const DeviceReport &request, const DeviceReport &reply, int replyLength,
                            int ms, ExchangeResult result) {
    Exchange exchange;
    exchange.request =
        QByteArray(reinterpret_cast<const char *>(request.data()), int(request.size()));
    if (replyLength > 0)
        exchange.reply = QByteArray(reinterpret_cast<const char *>(reply.data()),
                                    std::min<int>(replyLength, int(reply.size())));
    exchange.ms = std::clamp(ms, 0, kMaxMs);
    exchange.result = QString::fromLatin1(exchangeResultName(result));
    QMutexLocker lock(&mutex_);
    if (recording_.header.masked) {
        if (isKind(exchange.request, 0, 3) && isPrivateRecord(nameAt(exchange.request, 11)))
            exchange.masked = maskRange(exchange.request, 27, u16At(exchange.request, 9));
        if (isKind(exchange.request, 1, 3) && isPrivateRecord(nameAt(exchange.request, 9)) &&
            exchange.reply)
            exchange.masked = maskRange(*exchange.reply, 26, u16At(*exchange.reply, 8));
    }
    if (isKind(exchange.request, 1, 2))
        recording_.header.holdsFlash = true;
    exchange.number = int(recording_.exchanges.size()) + 1;
    recording_.exchanges.push_back(std::move(exchange));
}

bool Recorder::finish(QString *error) {
    QMutexLocker lock(&mutex_);
    if (!file_.isOpen()) {
        *error = QStringLiteral("the recording was not opened");
        return false;
    }
    bool written = file_.write(headerLine(recording_.header)) >= 0;
    for (const Exchange &exchange : recording_.exchanges)
        written = written && file_.write(exchangeLine(exchange)) >= 0;
    if (!written || !file_.commit()) {
        *error = file_.errorString();
        file_.cancelWriting();
        return false;
    }
    return true;
}

QString Recorder::path() const {
    QMutexLocker lock(&mutex_);
    return file_.fileName();
}

bool Recorder::holdsFlash() const {
    QMutexLocker lock(&mutex_);
    return recording_.header.holdsFlash;
}

int Recorder::exchangeCount() const {
    QMutexLocker lock(&mutex_);
    return int(recording_.exchanges.size());
}

Recording Recorder::snapshot() const {
    QMutexLocker lock(&mutex_);
    return recording_;
}

void install(std::shared_ptr<Recorder> recorder) {
    QMutexLocker lock(&g_activeMutex);
    g_active = std::move(recorder);
}

std::shared_ptr<Recorder> active() {
    QMutexLocker lock(&g_activeMutex);
    return g_active;
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
