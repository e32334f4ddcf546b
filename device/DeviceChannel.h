#pragma once
// The one road to the device. hidapi handles are not thread-safe, so every
// request and its reply go through exchange(), which holds one lock for the
// whole write-and-read, and the handle is only replaced or closed under the
// same lock. Every wait for a reply is bounded (see DeviceWaits.h), so a
// device that stops answering cannot freeze the window or a worker.
//
// Replies are input reports that the operating system queues per open handle
// until they are read, however late they come: a reply that arrives after its
// exchange gave up would otherwise be taken for the answer to the next
// request. The exchange therefore never writes while an earlier report could
// still be taken for its answer; see exchange() in DeviceChannel.cpp.

#include <QMutex>
#include <hidapi.h>

#include "device/DeviceReport.h"
#include "device/DeviceWaits.h"

enum class ExchangeResult {
    Ok,
    NoDevice,    // no handle is open
    WriteFailed, // hid_write returned -1: nothing was sent, no reply read
    ReadFailed,  // hid_read returned -1 (for instance the device was unplugged)
    Timeout,     // no reply within the wait's bound
    ShortReply,  // the reply held fewer bytes than the request needs
    Stopped,     // the waiting thread was asked to stop (see kReplySliceMs)
};

const char *exchangeResultName(ExchangeResult result);

// Tells a worker when its job must end after an exchange: a device that did
// not answer will not answer the next request either, one that is gone takes
// nothing more, and writes that keep failing (each may block for seconds, see
// kStalledWriteMs) end the job after kMaxConsecutiveWriteFailures in a row.
class JobEndCheck {
public:
    enum class Reason { None, NoAnswer, DeviceGone, WritesFailing };
    Reason after(ExchangeResult result);

private:
    int failedWritesInARow_ = 0;
};

// A job's allowance of late replies: one, waited for once more up to
// kSecondReplyWaitMs (see DeviceWaits.h).
class LateReplyAllowance {
public:
    bool take() {
        if (left_ == 0)
            return false;
        --left_;
        return true;
    }

private:
    int left_ = 1;
};

class DeviceChannel {
public:
    // `handle` is the window's handle member; only this class writes it.
    explicit DeviceChannel(hid_device *&handle) : handle_(handle) {}
    DeviceChannel(const DeviceChannel &) = delete;
    DeviceChannel &operator=(const DeviceChannel &) = delete;

    // One request and its one reply, which `reply` holds when the result is
    // Ok. A worker thread asked to stop (QThread::requestInterruption) ends
    // its wait with Stopped. With an `allowance` that is not used up, a reply
    // that misses the bound of `wait` is waited for once more.
    ExchangeResult exchange(const DeviceReport &request, DeviceReport *reply, ReplyWait wait,
                            LateReplyAllowance *allowance = nullptr);

    // False when no handle is open or the device behind it is gone (its
    // node reports an error); reports queued meanwhile are discarded, as
    // before a request. Waits for no reply.
    bool stillAttached();

    // Stores a newly opened handle, closing the one it replaces. Replies still
    // owed by the device may arrive in the new handle, so they stay counted.
    void replace(hid_device *newHandle);
    // Closes the open handle, if any; never calls hid_close with null.
    void close();

private:
    int discardQueuedReports(bool *failed = nullptr);
    ExchangeResult awaitOwedReplies(ReplyWait wait);
    // `replyLength` receives the size of the reply read, if one was.
    ExchangeResult awaitReply(const DeviceReport &request, DeviceReport &reply, int boundMs,
                              int *replyLength);

    hid_device *&handle_;
    QMutex mutex_;
    // Requests written whose reply was never read: the device may still send it.
    int owedReplies_ = 0;
};
