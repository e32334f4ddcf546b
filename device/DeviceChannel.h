#pragma once
// The one road to the device. hidapi handles are not thread-safe, so every
// request and its reply go through exchange(), which holds one lock for the
// whole write-and-read, and the handle is only replaced or closed under the
// same lock. The wait for a reply is bounded, so a device that stops answering
// cannot freeze the window or a worker.

#include <QMutex>
#include <hidapi.h>

#include "device/DeviceReport.h"

// Generous for a real device, short enough that a silent one is noticed.
constexpr int kReplyTimeoutMs = 3000;

enum class ExchangeResult {
    Ok,
    NoDevice,    // no handle is open
    WriteFailed, // hid_write returned -1: nothing was sent, no reply read
    ReadFailed,  // hid_read returned -1 (for instance the device was unplugged)
    Timeout,     // no reply within kReplyTimeoutMs
};

const char *exchangeResultName(ExchangeResult result);

class DeviceChannel {
public:
    // `handle` is the window's handle member; only this class writes it.
    explicit DeviceChannel(hid_device *&handle) : handle_(handle) {}
    DeviceChannel(const DeviceChannel &) = delete;
    DeviceChannel &operator=(const DeviceChannel &) = delete;

    ExchangeResult exchange(const DeviceReport &request, DeviceReport *reply,
                            int timeoutMs = kReplyTimeoutMs);

    // Stores a newly opened handle, closing the one it replaces.
    void replace(hid_device *newHandle);
    // Closes the open handle, if any; never calls hid_close with null.
    void close();

private:
    hid_device *&handle_;
    QMutex mutex_;
};
