// The per-handle report queues and the faults injected into them: how a
// request is received, how its reply travels to the handles open on the
// device, and how reads take it from there.
#include "EmulatorState.h"

#include <algorithm>
#include <cerrno>

namespace emu::detail {

// --- handles -------------------------------------------------------------------

// The handle behind `dev` when it is open; records misuse otherwise.
hid_device_ *openHandle(Data &data, hid_device *dev, const char *function) {
    if (!dev) {
        recordMisuse(data, std::string(function) + " called with a null handle");
        return nullptr;
    }
    const bool known = std::any_of(data.handles.begin(), data.handles.end(),
                                   [dev](const auto &handle) { return handle.get() == dev; });
    if (!known) {
        recordMisuse(data, std::string(function) +
                               " called with a handle the emulation did not open (or opened "
                               "before reset)");
        return nullptr;
    }
    if (dev->closed) {
        recordMisuse(data, std::string(function) + " on a closed handle (" + dev->path + ")");
        return nullptr;
    }
    return dev;
}

// As openHandle, for a call that starts a new operation: clears the last error.
hid_device_ *usableHandle(Data &data, hid_device *dev, const char *function) {
    hid_device_ *handle = openHandle(data, dev, function);
    if (handle)
        handle->lastError = nullptr;
    return handle;
}

// The device a handle talks to, or null once that device was unplugged.
Device *liveDevice(Data &data, const hid_device_ &handle) {
    auto found = data.devices.find(handle.path);
    if (found == data.devices.end())
        return nullptr;
    Device &device = found->second;
    return device.attached && device.generation == handle.generation ? &device : nullptr;
}

int fail(hid_device_ &handle, const wchar_t *error) {
    handle.lastError = error;
    return -1;
}

// --- replies on their way ------------------------------------------------------

bool isOpenOn(const hid_device_ &handle, const Device &device) {
    return !handle.closed && handle.path == device.spec.path &&
           handle.generation == device.generation;
}

void enqueue(hid_device_ &handle, const Reply &reply) {
    if (handle.queue.size() == kReportQueueLength)
        handle.queue.pop_front(); // a full queue loses its oldest report
    handle.queue.push_back(reply);
}

// Delivers the replies of `device` that are due by `now` into every handle
// open on it, in the order they arrive. A stopped device sends nothing.
void advanceDevice(Data &data, Device &device, Clock::time_point now) {
    if (!device.attached || device.stopped || device.inFlight.empty())
        return;
    auto due = std::stable_partition(device.inFlight.begin(), device.inFlight.end(),
                                     [now](const Reply &reply) { return reply.arrival > now; });
    if (due == device.inFlight.end())
        return;
    std::stable_sort(due, device.inFlight.end(),
                     [](const Reply &a, const Reply &b) { return a.arrival < b.arrival; });
    for (auto reply = due; reply != device.inFlight.end(); ++reply) {
        for (auto &handle : data.handles) {
            if (isOpenOn(*handle, device))
                enqueue(*handle, *reply);
        }
    }
    device.inFlight.erase(due, device.inFlight.end());
}

void advance(Data &data, Clock::time_point now) {
    bringBackRestarted(data, now);
    for (auto &entry : data.devices)
        advanceDevice(data, entry.second, now);
}

// When the next reply of `device` is due, if it is sending any.
std::optional<Clock::time_point> nextArrival(const Device &device) {
    if (device.stopped || device.inFlight.empty())
        return std::nullopt;
    const auto earliest =
        std::min_element(device.inFlight.begin(), device.inFlight.end(),
                         [](const Reply &a, const Reply &b) { return a.arrival < b.arrival; });
    return earliest->arrival;
}

void setStopped(Data &data, Device &device, bool stopped) {
    const auto now = Clock::now();
    if (device.stopped && !stopped) {
        // Replies withheld while stopped arrive now, not when they were due.
        for (Reply &reply : device.inFlight)
            reply.arrival = std::max(reply.arrival, now);
    }
    device.stopped = stopped;
    advance(data, now);
}

// --- writing -------------------------------------------------------------------

LoggedRequest *unpairedRequest(Data &data, const hid_device_ &handle) {
    if (!handle.unpairedEntry || handle.unpairedLogEpoch != data.logEpoch ||
        *handle.unpairedEntry >= data.log.size())
        return nullptr;
    return &data.log[*handle.unpairedEntry];
}

void logRequest(Data &data, hid_device_ &handle, const Bytes &request, int index) {
    data.log.push_back({handle.path, request, index, kNoReportRead});
    handle.unpairedEntry = data.log.size() - 1;
    handle.unpairedLogEpoch = data.logEpoch;
}

// The device receives a request: a stopped device ignores it entirely;
// otherwise it acts on it and sends its one reply, due after the reply delay
// (or the late answer set for this request).
void receive(Data &data, Device &device, hid_device_ &handle, const Bytes &request, int index) {
    logRequest(data, handle, request, index);
    handle.readSinceWrite = false;
    if (device.stopped || !answersRequest(device, request, index))
        return;
    noteRestartTrigger(device, request, index);
    protocol::Outcome outcome = protocol::answer(device, request);
    if (!outcome.error.empty())
        recordProtocolError(data, handle.path, outcome.error);
    if (device.shortReplyFault && device.shortReplyFault(request, index))
        outcome.reply.resize(std::min(outcome.reply.size(), device.shortReplyLength));
    const auto late = device.lateAnswers.find(index);
    const int delayMs =
        late != device.lateAnswers.end() ? late->second : replyDelayFor(device, request);
    Reply reply{std::move(outcome.reply), request, index,
                Clock::now() + std::chrono::milliseconds(std::max(0, delayMs)), false};
    reply.zeroReadFirst = device.zeroReadFault && device.zeroReadFault(request, index);
    device.inFlight.push_back(std::move(reply));
}

// Counts a received request towards detachAfterRequests; true when it unplugs now.
bool countTowardsDetach(Data &data, Device &device) {
    if (device.detachCountdown <= 0 || --device.detachCountdown > 0)
        return false;
    return detachLocked(data, device.spec.path);
}

// A write is misuse when the caller could have read what is queued first.
void checkNothingLeftUnread(Data &data, const hid_device_ &handle) {
    if (handle.queue.empty())
        return;
    if (!handle.readSinceWrite)
        recordMisuse(data, "hid_write while the reply to the previous request is still unread (" +
                               handle.path + ")");
    else if (handle.queue.front().arrival <= handle.lastReadBegan)
        recordMisuse(data, "hid_write while a report that arrived before the last read is "
                           "still queued (" +
                               handle.path + ")");
}

WriteStep writeLocked(Data &data, hid_device *dev, const unsigned char *bytes, std::size_t length) {
    hid_device_ *handle = usableHandle(data, dev, "hid_write");
    if (!handle)
        return {};
    if (!bytes) {
        recordMisuse(data, "hid_write with a null buffer (" + handle->path + ")");
        return {};
    }
    if (data.replay)
        return replayWrite(data, *handle, Bytes(bytes, bytes + length));
    Device *device = liveDevice(data, *handle);
    if (!device)
        return {fail(*handle, kErrDisconnected)};
    checkNothingLeftUnread(data, *handle);
    handle->unpairedEntry.reset();
    const Bytes request(bytes, bytes + length);
    const int index = device->requestIndex++;
    if (device->stallFault && device->stallFault(request, index))
        return {-1, std::max(1, device->stallMs)};
    if (device->writeFault && device->writeFault(request, index))
        return {fail(*handle, kErrWriteFault)};
    receive(data, *device, *handle, request, index);
    return {int(length), 0, countTowardsDetach(data, *device)};
}

// A stalled write: blocks until `ms` passed (or the device or handle went),
// then fails without the device having received anything.
int stallWrite(State &s, std::unique_lock<std::mutex> &lock, hid_device_ &handle, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    ++handle.writers;
    while (Clock::now() < until && !handle.closed && liveDevice(s.data, handle))
        s.changed.wait_until(lock, until);
    --handle.writers;
    return fail(handle, kErrWriteStalled);
}

// --- reading -------------------------------------------------------------------

void pairWithRequest(Data &data, hid_device_ &handle, const Reply &reply) {
    if (LoggedRequest *request = unpairedRequest(data, handle))
        request->answeredBy = reply.requestIndex;
    handle.unpairedEntry.reset();
}

int deliver(Data &data, Device &device, hid_device_ &handle, unsigned char *out,
            std::size_t length) {
    const Reply reply = std::move(handle.queue.front());
    handle.queue.pop_front();
    if (device.readFault && device.readFault(reply.request, reply.requestIndex))
        return fail(handle, kErrReadFault);
    pairWithRequest(data, handle, reply);
    const std::size_t count = std::min(length, reply.bytes.size());
    std::copy_n(reply.bytes.begin(), count, out);
    restartIfTriggered(data, device, reply.requestIndex);
    return int(count);
}

int awaitReply(State &s, std::unique_lock<std::mutex> &lock, hid_device_ &handle,
               unsigned char *out, std::size_t length, int ms) {
    std::optional<Clock::time_point> deadline;
    if (ms >= 0)
        deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto now = Clock::now();
        advance(s.data, now);
        if (handle.closed)
            return -1; // closed by another thread meanwhile (reported by hid_close)
        Device *device = liveDevice(s.data, handle);
        if (!device)
            return fail(handle, kErrDisconnected);
        if (!handle.queue.empty()) {
            Reply &oldest = handle.queue.front();
            if (oldest.zeroReadFirst && ms != 0) {
                oldest.zeroReadFirst = false;
                return 0;
            }
            return deliver(s.data, *device, handle, out, length);
        }
        if (deadline && now >= *deadline)
            return 0; // nothing yet; whatever arrives later stays for the next read
        std::optional<Clock::time_point> wakeAt = deadline;
        const auto arrival = nextArrival(*device);
        if (arrival && (!wakeAt || *arrival < *wakeAt))
            wakeAt = arrival;
        if (wakeAt)
            s.changed.wait_until(lock, *wakeAt);
        else
            s.changed.wait(lock);
    }
}

// `timeoutMs` empty: block or poll according to the handle's mode (hid_read).
int readReply(hid_device *dev, unsigned char *out, std::size_t length, std::optional<int> timeoutMs,
              const char *function) {
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    const auto now = Clock::now();
    advance(s.data, now);
    hid_device_ *handle = usableHandle(s.data, dev, function);
    if (!handle)
        return -1;
    if (!out) {
        recordMisuse(s.data, std::string(function) + " with a null buffer (" + handle->path + ")");
        return -1;
    }
    handle->lastReadBegan = now;
    handle->readSinceWrite = true;
    const int ms = timeoutMs ? *timeoutMs : (handle->nonblocking ? 0 : -1);
    ++handle->readers;
    const int result = awaitReply(s, lock, *handle, out, length, ms);
    --handle->readers;
    lock.unlock();
    s.changed.notify_all();
    flushAnnouncements(s);
    return result;
}

} // namespace emu::detail
