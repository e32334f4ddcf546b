#include "device/DeviceChannel.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QThread>
#include <algorithm>

#include "device/SessionRecorder.h"

namespace {

bool stopRequested() {
    return QThread::currentThread()->isInterruptionRequested();
}

// One slice of a wait: a report of up to `reply.size()` bytes, 0 when none
// came within the slice (a read may also return 0 early), -1 on failure.
int readSlice(hid_device *handle, DeviceReport &reply, const QDeadlineTimer &deadline) {
    const int sliceMs = int(std::min<qint64>(kReplySliceMs, deadline.remainingTime()));
    reply.fill(0);
    return hid_read_timeout(handle, reply.data(), reply.size(), std::max(sliceMs, 0));
}

} // namespace

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
    case ExchangeResult::ShortReply:
        return "short reply";
    case ExchangeResult::Stopped:
        return "stopped";
    }
    return "unknown";
}

JobEndCheck::Reason JobEndCheck::after(ExchangeResult result) {
    failedWritesInARow_ = result == ExchangeResult::WriteFailed ? failedWritesInARow_ + 1 : 0;
    if (result == ExchangeResult::Timeout)
        return Reason::NoAnswer;
    if (result == ExchangeResult::NoDevice)
        return Reason::DeviceGone;
    if (failedWritesInARow_ >= kMaxConsecutiveWriteFailures)
        return Reason::WritesFailing;
    return Reason::None;
}

// Before the request goes out, nothing may be left that the read after it
// could take for its answer:
//  1. Every report already queued is read and discarded. None can answer this
//     request, which has not been written yet.
//  2. If an earlier exchange ended without its reply, the device may still
//     send that reply, and it would arrive in this handle's queue (the queue
//     is per open handle, not per request). It is awaited and discarded here,
//     within this request's bound, before anything is written. If it does not
//     come within the bound it is taken as lost and the request goes out.
// What remains is a report that arrives between the last empty read of step 1
// and the read after the write. With nothing owed, the device has no reply to
// send but this request's own, so such a report is the answer. A reply owed
// by a request given up as lost in step 2 could still come there and would be
// taken as this request's answer: the reply bytes are not specified to say
// which request they answer, so nothing can tell the two apart. The bounds in
// DeviceWaits.h keep that to a device that answers more than two bounds late.
ExchangeResult DeviceChannel::exchange(const DeviceReport &request, DeviceReport *reply,
                                       ReplyWait wait, LateReplyAllowance *allowance) {
    QMutexLocker lock(&mutex_);
    if (!handle_)
        return ExchangeResult::NoDevice;
    owedReplies_ = std::max(0, owedReplies_ - discardQueuedReports());
    const ExchangeResult owed = awaitOwedReplies(wait);
    if (owed != ExchangeResult::Ok)
        return owed;
    // Held for the whole exchange, so that a recording stopped meanwhile
    // still takes this one.
    const std::shared_ptr<recording::Recorder> recorder = recording::active();
    QElapsedTimer timer;
    timer.start();
    DeviceReport scratch;
    DeviceReport &answer = reply ? *reply : scratch;
    if (hid_write(handle_, request.data(), request.size()) == -1) {
        if (recorder)
            recorder->noteExchange(request, answer, -1, int(timer.restart()),
                                   ExchangeResult::WriteFailed);
        return ExchangeResult::WriteFailed;
    }
    timer.restart();
    int replyLength = -1;
    ExchangeResult answered = awaitReply(request, answer, replyBoundMs(wait), &replyLength);
    if (answered == ExchangeResult::Timeout && allowance && allowance->take()) {
        qDebug("no reply within %d ms; waiting once more, up to %d ms", replyBoundMs(wait),
               kSecondReplyWaitMs);
        answered = awaitReply(request, answer, kSecondReplyWaitMs, &replyLength);
    }
    if (answered == ExchangeResult::Timeout || answered == ExchangeResult::Stopped)
        ++owedReplies_;
    if (recorder)
        recorder->noteExchange(request, answer, replyLength, int(timer.elapsed()), answered);
    return answered;
}

int DeviceChannel::discardQueuedReports(bool *failed) {
    DeviceReport stale;
    int discarded = 0;
    int got = 0;
    while ((got = hid_read_timeout(handle_, stale.data(), stale.size(), 0)) > 0)
        ++discarded;
    if (failed)
        *failed = got < 0;
    if (discarded > 0)
        qDebug("discarded %d stale report(s) before a request", discarded);
    return discarded;
}

bool DeviceChannel::stillAttached() {
    QMutexLocker lock(&mutex_);
    if (!handle_)
        return false;
    bool failed = false;
    owedReplies_ = std::max(0, owedReplies_ - discardQueuedReports(&failed));
    return !failed;
}

ExchangeResult DeviceChannel::awaitOwedReplies(ReplyWait wait) {
    if (owedReplies_ == 0)
        return ExchangeResult::Ok;
    const QDeadlineTimer deadline(replyBoundMs(wait));
    DeviceReport late;
    while (owedReplies_ > 0 && !deadline.hasExpired()) {
        if (stopRequested())
            return ExchangeResult::Stopped;
        const int got = readSlice(handle_, late, deadline);
        if (got < 0)
            return ExchangeResult::ReadFailed;
        if (got > 0) {
            --owedReplies_;
            qDebug("discarded a late reply before a request");
        }
    }
    if (owedReplies_ > 0)
        qDebug("%d earlier reply(s) never came; taken as lost", owedReplies_);
    owedReplies_ = 0;
    return ExchangeResult::Ok;
}

ExchangeResult DeviceChannel::awaitReply(const DeviceReport &request, DeviceReport &reply,
                                         int boundMs, int *replyLength) {
    const QDeadlineTimer deadline(boundMs);
    for (;;) {
        if (stopRequested())
            return ExchangeResult::Stopped;
        if (deadline.hasExpired())
            return ExchangeResult::Timeout;
        const int got = readSlice(handle_, reply, deadline);
        if (got < 0)
            return ExchangeResult::ReadFailed;
        if (got > 0) {
            *replyLength = got;
            return std::size_t(got) >= report::replyBytesNeeded(request, reply)
                       ? ExchangeResult::Ok
                       : ExchangeResult::ShortReply;
        }
    }
}

void DeviceChannel::replace(hid_device *newHandle) {
    QMutexLocker lock(&mutex_);
    if (handle_ && handle_ != newHandle)
        hid_close(handle_);
    handle_ = newHandle;
    if (!newHandle)
        owedReplies_ = 0; // a device that is gone sends nothing more
}

void DeviceChannel::close() {
    replace(nullptr);
}
