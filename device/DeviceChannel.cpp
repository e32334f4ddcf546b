#include "device/DeviceChannel.h"

#include <QMutexLocker>

const char *exchangeResultName(ExchangeResult result) {
    switch (result) {
    case ExchangeResult::Ok:
        return "ok";
    case ExchangeResult::NoDevice:
        return "no device";
    case ExchangeResult::WriteFailed:
        return "write failed";
    case ExchangeResult::ReadFailed:
        return "read failed";
    case ExchangeResult::Timeout:
        return "no reply";
    }
    return "unknown";
}

ExchangeResult DeviceChannel::exchange(const DeviceReport &request, DeviceReport *reply,
                                       int timeoutMs) {
    QMutexLocker lock(&mutex_);
    if (!handle_)
        return ExchangeResult::NoDevice;
    if (hid_write(handle_, request.data(), request.size()) == -1)
        return ExchangeResult::WriteFailed;
    DeviceReport scratch;
    DeviceReport &target = reply ? *reply : scratch;
    target.fill(0);
    const int got = hid_read_timeout(handle_, target.data(), target.size(), timeoutMs);
    if (got < 0)
        return ExchangeResult::ReadFailed;
    if (got == 0)
        return ExchangeResult::Timeout;
    return ExchangeResult::Ok;
}

void DeviceChannel::replace(hid_device *newHandle) {
    QMutexLocker lock(&mutex_);
    if (handle_ && handle_ != newHandle)
        hid_close(handle_);
    handle_ = newHandle;
}

void DeviceChannel::close() {
    replace(nullptr);
}
