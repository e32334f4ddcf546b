#include "device/SessionRecorder.h"

#include <QDateTime>
#include <QMutexLocker>
#include <algorithm>

#include "common/PrivateFile.h"
#include "device/DeviceChannel.h"
#include "device/RecordingWriter.h"

namespace recording {
namespace {

QMutex g_activeMutex;
std::shared_ptr<Recorder> g_active;

} // namespace

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

Recorder::~Recorder() = default;

bool Recorder::open(const QString &path, QString *error) {
    QMutexLocker lock(&mutex_);
    path_ = path;
    file_ = std::make_unique<PrivateFile>(path);
    return file_->open(error);
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
    exchange.ms = std::clamp(ms, 0, kMaxExchangeMs);
    exchange.result = QString::fromLatin1(exchangeResultName(result));
    QMutexLocker lock(&mutex_);
    if (recording_.header.masked)
        masker_.mask(exchange);
    if (report::requestKind(exchange.request) == report::RequestKind::FlashRead)
        recording_.header.holdsFlash = true;
    exchange.number = int(recording_.exchanges.size()) + 1;
    recording_.exchanges.push_back(std::move(exchange));
}

bool Recorder::finish(QString *error) {
    QMutexLocker lock(&mutex_);
    if (!file_ || !file_->isOpen()) {
        *error = QStringLiteral("the recording was not opened");
        return false;
    }
    QByteArray text = headerLine(recording_.header);
    for (const Exchange &exchange : recording_.exchanges)
        text += exchangeLine(exchange);
    if (!file_->write(text) || !file_->commit()) {
        *error = file_->errorString();
        file_->cancel();
        return false;
    }
    return true;
}

QString Recorder::path() const {
    QMutexLocker lock(&mutex_);
    return path_;
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

} // namespace recording
