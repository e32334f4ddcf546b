#include "EmulatedAccessory.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace emu::detail {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using HotplugListener = std::function<void(const std::string &, bool)>;

// A report the device sends in answer to one request: first on its way, then
// queued at each handle that was open when it arrived.
struct Reply {
    Bytes bytes;
    Bytes request; // what it answers, for the read fault matcher
    int requestIndex = 0;
    Clock::time_point arrival;  // when it reaches (or reached) the handles
    bool zeroReadFirst = false; // the first read that waits for it returns 0
};

} // namespace emu::detail

// The opaque hidapi handle. The emulation owns every handle it hands out and
// keeps closed ones until reset(), so a call on a closed handle is reported
// as misuse rather than touching freed memory.
struct hid_device_ {
    std::string path;
    unsigned generation = 0; // the attachment of the device this handle was opened on
    bool closed = false;
    bool nonblocking = false;
    int readers = 0; // threads currently inside a read on this handle
    int writers = 0; // threads currently inside a (stalled) write on this handle
    std::deque<emu::detail::Reply> queue; // reports arrived and not read yet
    // For the misuse check at the next write: when the caller last looked at
    // the queue, and whether it looked at all since its last write.
    emu::detail::Clock::time_point lastReadBegan{};
    bool readSinceWrite = true;
    // The log entry of the last request written, until a report is read.
    std::optional<std::size_t> unpairedEntry;
    unsigned unpairedLogEpoch = 0;
    const wchar_t *lastError = nullptr;
};

namespace emu::detail {

const wchar_t *const kErrDisconnected = L"device disconnected";
const wchar_t *const kErrWriteFault = L"write failed (injected fault)";
const wchar_t *const kErrWriteStalled = L"write timed out (injected stall)";
const wchar_t *const kErrReadFault = L"read failed (injected fault)";
const wchar_t *const kErrNoDevice = L"no device at that path";
const wchar_t *const kErrOpenFault = L"open failed (injected fault)";
const wchar_t *const kErrInitFault = L"hid_init failed (injected fault)";
const wchar_t *const kErrMisuse = L"invalid call (see EMULATOR MISUSE on stderr)";
const wchar_t *const kErrOpenUnsupported = L"hid_open is not supported; use hid_open_path";

struct Device {
    DeviceSpec spec;
    bool attached = false;
    unsigned generation = 0; // bumped on every attach; older handles stay dead
    int requestIndex = 0;    // requests since the last attach, failed writes included
    std::map<std::string, Bytes> records;
    Bytes flash = Bytes(kFlashSize, 0xFF);
    Bytes firmware;
    int firmwareBlocks = 0;
    std::string versionAfterFirmware;

    std::vector<Reply> inFlight; // sent, not arrived yet (or withheld while stopped)

    RequestMatcher writeFault;
    RequestMatcher readFault;
    RequestMatcher shortReplyFault;
    std::size_t shortReplyLength = 0;
    RequestMatcher stallFault;
    int stallMs = 0;
    RequestMatcher zeroReadFault;
    std::map<int, int> lateAnswers; // request index -> delay of its reply
    bool stopped = false;
    int replyDelayMs = 0;
    int detachCountdown = -1; // requests until an automatic detach; -1 = none
    int failOpenError = 0;    // errno hid_open_path fails with; 0 = opens
    bool vanishOnOpen = false;
};

struct Data {
    std::map<std::string, Device> devices; // known paths, attached or not
    std::vector<std::string> order;        // attached paths in enumeration order
    std::vector<std::unique_ptr<hid_device_>> handles;
    std::vector<LoggedRequest> log;
    unsigned logEpoch = 0; // bumped when the log is cleared
    std::vector<std::string> misuse;
    std::vector<std::string> protocolErrors;
    int initCount = 0;
    bool failInit = false;
    const wchar_t *lastError = nullptr;
    HotplugListener hotplug;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed; // wakes readers on replies, detach, stop/resume, close
    Data data;
};

State &state() {
    static State instance;
    return instance;
}

void advance(Data &data, Clock::time_point now);

// Runs `fn` on the data under the lock, after delivering the replies that have
// arrived meanwhile, and wakes waiting readers afterwards.
template <typename Fn> auto locked(Fn fn) {
    State &s = state();
    struct Wake {
        State &s;
        ~Wake() { s.changed.notify_all(); }
    } wake{s};
    std::lock_guard<std::mutex> lock(s.mutex);
    advance(s.data, Clock::now());
    return fn(s.data);
}

void recordMisuse(Data &data, std::string what) {
    std::fprintf(stderr, "EMULATOR MISUSE: %s\n", what.c_str());
    data.misuse.push_back(std::move(what));
    data.lastError = kErrMisuse;
}

void recordProtocolError(Data &data, const std::string &path, const std::string &why) {
    std::string entry = path + ": " + why;
    std::fprintf(stderr, "EMULATOR PROTOCOL ERROR: %s\n", entry.c_str());
    data.protocolErrors.push_back(std::move(entry));
}

Device &deviceAt(Data &data, const std::string &path) {
    Device &device = data.devices[path];
    device.spec.path = path;
    return device;
}

const Device *findDevice(const Data &data, const std::string &path) {
    auto found = data.devices.find(path);
    return found == data.devices.end() ? nullptr : &found->second;
}

// --- the device's side of the report protocol ---------------------------------
namespace protocol {

constexpr uint8_t kCommandWrite = 0;
constexpr uint8_t kCommandRead = 1;
constexpr uint8_t kCommandFirmware = 2;
constexpr uint8_t kTargetFirmware = 1;
constexpr uint8_t kTargetFlash = 2;
constexpr uint8_t kTargetRecord = 3;

constexpr std::size_t kCommandAt = 3;
constexpr std::size_t kTargetAt = 4;
constexpr std::size_t kPayloadLengthAt = 5;
constexpr std::size_t kPayloadAt = 7;
constexpr std::size_t kNameLength = 16;

constexpr uint16_t kRecordReadPayload = 18;
constexpr uint16_t kRecordWriteFixedPayload = 20;
constexpr std::size_t kRecordWriteValueAt = 27;
constexpr std::size_t kMaxRecordValue = kReportSize - kRecordWriteValueAt;
constexpr uint16_t kFirmwarePayload = 518;
constexpr uint16_t kBlockSize = 512;
constexpr std::size_t kBlockDataAt = 13;
constexpr uint16_t kFlashReadPayload = 8;
constexpr uint16_t kFlashReadParam = 4;

// Replies carry no report id, so their fields sit one byte earlier.
constexpr std::size_t kReplyValueLengthAt = 8;
constexpr std::size_t kReplyNameAt = 10;
constexpr std::size_t kReplyValueAt = 26;
constexpr std::size_t kReplyVersionAt = 34;
constexpr std::size_t kReplyFlashDataAt = 14;

const char *const kVersionRecord = "version";

uint16_t u16(const Bytes &b, std::size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

uint32_t u32(const Bytes &b, std::size_t at) {
    return uint32_t(u16(b, at)) | uint32_t(u16(b, at + 2)) << 16;
}

void putU16(Bytes &b, std::size_t at, std::size_t value) {
    b[at] = uint8_t(value & 0xFF);
    b[at + 1] = uint8_t((value >> 8) & 0xFF);
}

struct Outcome {
    Bytes reply;
    std::string error; // non-empty: the request was not understood
};

Outcome refuse(std::string why) {
    return {Bytes(kReportSize, 0), std::move(why)};
}

// A reply that repeats the request's fields up to (not including) `endAt`.
Bytes echo(const Bytes &request, std::size_t endAt) {
    Bytes reply(kReportSize, 0);
    std::copy(request.begin() + 1, request.begin() + endAt, reply.begin());
    return reply;
}

// Printable ASCII followed only by zero padding; nullopt for anything else.
std::optional<std::string> recordName(const Bytes &request, std::size_t at) {
    std::string name;
    std::size_t i = 0;
    for (; i < kNameLength && request[at + i] != 0; ++i) {
        const uint8_t c = request[at + i];
        if (c < 0x21 || c > 0x7E)
            return std::nullopt;
        name.push_back(char(c));
    }
    for (; i < kNameLength; ++i) {
        if (request[at + i] != 0)
            return std::nullopt;
    }
    if (name.empty())
        return std::nullopt;
    return name;
}

std::string number(std::size_t value) {
    return std::to_string(value);
}

std::optional<std::string> checkRecordHeader(const Device &device, const Bytes &request,
                                             uint16_t expectedPayload) {
    const uint16_t payload = u16(request, kPayloadLengthAt);
    if (payload != expectedPayload)
        return "payload_length " + number(payload) + ", expected " + number(expectedPayload);
    const uint16_t productId = u16(request, kPayloadAt);
    if (productId != device.spec.productId)
        return "product_id " + number(productId) + " does not match the device";
    return std::nullopt;
}

Outcome readRecord(const Device &device, const Bytes &request) {
    if (auto wrong = checkRecordHeader(device, request, kRecordReadPayload))
        return refuse("record read: " + *wrong);
    const auto name = recordName(request, 9);
    if (!name)
        return refuse("record read: malformed record name");
    Bytes reply = echo(request, 9);
    std::copy(name->begin(), name->end(), reply.begin() + kReplyNameAt);
    const std::size_t valueAt = *name == kVersionRecord ? kReplyVersionAt : kReplyValueAt;
    const auto found = device.records.find(*name);
    const Bytes value = found == device.records.end() ? Bytes() : found->second;
    const std::size_t length = std::min(value.size(), kReportSize - valueAt);
    putU16(reply, kReplyValueLengthAt, length);
    std::copy_n(value.begin(), length, reply.begin() + valueAt);
    return {reply, {}};
}

Outcome writeRecord(Device &device, const Bytes &request) {
    const uint16_t length = u16(request, 9);
    if (length > kMaxRecordValue)
        return refuse("record write: value_length " + number(length) + " exceeds " +
                      number(kMaxRecordValue));
    if (auto wrong = checkRecordHeader(device, request, kRecordWriteFixedPayload + length))
        return refuse("record write: " + *wrong);
    const auto name = recordName(request, 11);
    if (!name)
        return refuse("record write: malformed record name");
    const auto valueBegin = request.begin() + kRecordWriteValueAt;
    device.records[*name] = Bytes(valueBegin, valueBegin + length);
    return {echo(request, kRecordWriteValueAt), {}};
}

std::optional<std::string> checkFirmwareBlock(const Bytes &request) {
    const uint16_t payload = u16(request, kPayloadLengthAt);
    if (payload != kFirmwarePayload)
        return "payload_length " + number(payload) + ", expected " + number(kFirmwarePayload);
    const uint16_t blockLength = u16(request, kPayloadAt);
    if (blockLength != kBlockSize)
        return "block_length " + number(blockLength) + ", expected " + number(kBlockSize);
    const uint32_t address = u32(request, 9);
    if (address % kBlockSize != 0)
        return "address " + number(address) + " is not a multiple of the block size";
    if (uint64_t(address) + kBlockSize > kFlashSize)
        return "address " + number(address) + " lies beyond the flash";
    return std::nullopt;
}

Outcome storeFirmwareBlock(Device &device, const Bytes &request) {
    if (auto wrong = checkFirmwareBlock(request))
        return refuse("firmware block: " + *wrong);
    const uint32_t address = u32(request, 9);
    if (device.firmware.size() < address + kBlockSize)
        device.firmware.resize(address + kBlockSize, 0xFF);
    std::copy_n(request.begin() + kBlockDataAt, kBlockSize, device.firmware.begin() + address);
    ++device.firmwareBlocks;
    const std::string &version = device.versionAfterFirmware;
    if (!version.empty())
        device.records[kVersionRecord] = Bytes(version.begin(), version.end());
    return {echo(request, kBlockDataAt), {}};
}

Outcome readFlash(const Device &device, const Bytes &request) {
    const uint16_t payload = u16(request, kPayloadLengthAt);
    if (payload != kFlashReadPayload)
        return refuse("flash read: payload_length " + number(payload) + ", expected " +
                      number(kFlashReadPayload));
    const uint16_t param = u16(request, kPayloadAt);
    const uint16_t length = u16(request, 9);
    if (param != kFlashReadParam || length != kBlockSize)
        return refuse("flash read: read_param " + number(param) + " / read_length " +
                      number(length) + ", expected 4 / 512");
    const uint64_t address = u32(request, 11);
    Bytes reply = echo(request, 15);
    for (std::size_t i = 0; i < kBlockSize; ++i) {
        const uint64_t at = address + i;
        reply[kReplyFlashDataAt + i] = at < device.flash.size() ? device.flash[at] : 0xFF;
    }
    return {reply, {}};
}

Outcome answer(Device &device, const Bytes &request) {
    if (request.size() != kReportSize)
        return refuse("request of " + number(request.size()) + " bytes, expected " +
                      number(kReportSize));
    if (request[0] != 0)
        return refuse("report id " + number(request[0]) + ", expected 0");
    const uint8_t command = request[kCommandAt];
    const uint8_t target = request[kTargetAt];
    if (command == kCommandRead && target == kTargetRecord)
        return readRecord(device, request);
    if (command == kCommandWrite && target == kTargetRecord)
        return writeRecord(device, request);
    if (command == kCommandFirmware && target == kTargetFirmware)
        return storeFirmwareBlock(device, request);
    if (command == kCommandRead && target == kTargetFlash)
        return readFlash(device, request);
    return refuse("unknown command " + number(command) + " for target " + number(target));
}

} // namespace protocol

// --- attach / detach -----------------------------------------------------------

bool attachLocked(Data &data, const DeviceSpec &spec, std::size_t position) {
    Device &device = deviceAt(data, spec.path);
    if (device.attached) {
        recordMisuse(data, "attach of " + spec.path + ", which is already attached");
        return false;
    }
    device.spec = spec;
    device.attached = true;
    ++device.generation;
    device.requestIndex = 0;
    position = std::min(position, data.order.size());
    data.order.insert(data.order.begin() + std::ptrdiff_t(position), spec.path);
    return true;
}

bool detachLocked(Data &data, const std::string &path) {
    auto found = data.devices.find(path);
    if (found == data.devices.end() || !found->second.attached)
        return false;
    found->second.attached = false;
    found->second.detachCountdown = -1;
    data.order.erase(std::remove(data.order.begin(), data.order.end(), path), data.order.end());
    found->second.inFlight.clear(); // replies not sent yet go with the device
    for (auto &handle : data.handles) {
        if (handle->path == path)
            handle->queue.clear();
    }
    return true;
}

void announce(const HotplugListener &listener, const std::string &path, bool arrived) {
    if (listener)
        listener(path, arrived);
}

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
    if (device.stopped)
        return;
    protocol::Outcome outcome = protocol::answer(device, request);
    if (!outcome.error.empty())
        recordProtocolError(data, handle.path, outcome.error);
    if (device.shortReplyFault && device.shortReplyFault(request, index))
        outcome.reply.resize(std::min(outcome.reply.size(), device.shortReplyLength));
    const auto late = device.lateAnswers.find(index);
    const int delayMs = late != device.lateAnswers.end() ? late->second : device.replyDelayMs;
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

struct WriteStep {
    int result = -1;
    int stallMs = 0; // > 0: block this long, then fail
    bool detachedNow = false;
};

WriteStep writeLocked(Data &data, hid_device *dev, const unsigned char *bytes, std::size_t length) {
    hid_device_ *handle = usableHandle(data, dev, "hid_write");
    if (!handle)
        return {};
    if (!bytes) {
        recordMisuse(data, "hid_write with a null buffer (" + handle->path + ")");
        return {};
    }
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
    return result;
}

// --- enumeration ---------------------------------------------------------------

bool matches(const DeviceSpec &spec, unsigned short vendorId, unsigned short productId) {
    return (vendorId == 0 || spec.vendorId == vendorId) &&
           (productId == 0 || spec.productId == productId);
}

hid_device_info *newDeviceInfo(const DeviceSpec &spec) {
    auto *info = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(spec.path.c_str());
    info->vendor_id = spec.vendorId;
    info->product_id = spec.productId;
    info->serial_number = wcsdup(L"");
    info->manufacturer_string = wcsdup(L"");
    info->product_string = wcsdup(L"");
    info->usage_page = spec.usagePage;
    info->usage = spec.usage;
    info->interface_number = 0;
    info->bus_type = HID_API_BUS_USB;
    return info;
}

std::vector<DeviceSpec> attachedSpecs() {
    return locked([](Data &data) {
        std::vector<DeviceSpec> specs;
        for (const std::string &path : data.order)
            specs.push_back(data.devices.at(path).spec);
        return specs;
    });
}

} // namespace emu::detail

// --- the hidapi functions --------------------------------------------------------

using namespace emu::detail;

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) {
    return locked([](Data &data) {
        if (data.failInit) {
            data.lastError = kErrInitFault;
            return -1;
        }
        ++data.initCount;
        return 0;
    });
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
    return locked([](Data &data) {
        const int open = int(std::count_if(data.handles.begin(), data.handles.end(),
                                           [](const auto &handle) { return !handle->closed; }));
        if (open > 0)
            recordMisuse(data, "hid_exit while " + std::to_string(open) + " handle(s) are open");
        data.initCount = std::max(0, data.initCount - 1);
        return 0;
    });
}

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
    hid_device_info *head = nullptr;
    hid_device_info **tail = &head;
    for (const emu::DeviceSpec &spec : attachedSpecs()) {
        if (!matches(spec, vendor_id, product_id))
            continue;
        *tail = newDeviceInfo(spec);
        tail = &(*tail)->next;
    }
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info *devs) {
    while (devs) {
        hid_device_info *next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open(unsigned short, unsigned short, const wchar_t *) {
    locked([](Data &data) { data.lastError = kErrOpenUnsupported; });
    return nullptr;
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path) {
    // As hidraw's open(2) does, a failure leaves its reason in errno.
    HotplugListener listener;
    bool vanished = false;
    int error = 0;
    hid_device *opened = locked([&](Data &data) -> hid_device * {
        auto known = path ? data.devices.find(path) : data.devices.end();
        Device *device = known == data.devices.end() ? nullptr : &known->second;
        if (device && device->attached && device->vanishOnOpen) {
            device->vanishOnOpen = false;
            listener = data.hotplug;
            vanished = detachLocked(data, path);
        }
        if (!device || !device->attached) {
            data.lastError = kErrNoDevice;
            error = ENOENT;
            return nullptr;
        }
        if (device->failOpenError != 0) {
            data.lastError = kErrOpenFault;
            error = device->failOpenError;
            return nullptr;
        }
        auto handle = std::make_unique<hid_device_>();
        handle->path = path;
        handle->generation = device->generation;
        data.handles.push_back(std::move(handle));
        return data.handles.back().get();
    });
    if (vanished)
        announce(listener, path, false);
    if (!opened)
        errno = error;
    return opened;
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock) {
    return locked([dev, nonblock](Data &data) {
        hid_device_ *handle = usableHandle(data, dev, "hid_set_nonblocking");
        if (!handle)
            return -1;
        handle->nonblocking = nonblock != 0;
        return 0;
    });
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data,
                                          size_t length) {
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    advance(s.data, Clock::now());
    const WriteStep step = writeLocked(s.data, dev, data, length);
    const int result = step.stallMs > 0 ? stallWrite(s, lock, *dev, step.stallMs) : step.result;
    std::string path;
    HotplugListener listener;
    if (step.detachedNow) {
        path = dev->path;
        listener = s.data.hotplug;
    }
    lock.unlock();
    s.changed.notify_all();
    if (step.detachedNow)
        announce(listener, path, false);
    return result;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device *dev, unsigned char *data,
                                                 size_t length, int milliseconds) {
    return readReply(dev, data, length, milliseconds, "hid_read_timeout");
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length) {
    return readReply(dev, data, length, std::nullopt, "hid_read");
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev) {
    locked([dev](Data &data) {
        hid_device_ *handle = usableHandle(data, dev, "hid_close");
        if (!handle)
            return;
        if (handle->readers > 0 || handle->writers > 0)
            recordMisuse(data, "hid_close while another thread reads from or writes to the "
                               "handle (" +
                                   handle->path + ")");
        handle->closed = true;
        handle->queue.clear(); // closing discards the reports nobody read
    });
}

HID_API_EXPORT const wchar_t *HID_API_CALL hid_error(hid_device *dev) {
    return locked([dev](Data &data) -> const wchar_t * {
        if (!dev)
            return data.lastError;
        hid_device_ *handle = openHandle(data, dev, "hid_error");
        return handle ? handle->lastError : data.lastError;
    });
}

} // extern "C"

// --- control API -----------------------------------------------------------------

namespace emu {

void reset() {
    locked([](Data &data) { data = Data(); });
}

void attach(const DeviceSpec &spec) {
    attachAt(spec, SIZE_MAX);
}

void attachAt(const DeviceSpec &spec, std::size_t position) {
    HotplugListener listener;
    const bool attached = locked([&](Data &data) {
        listener = data.hotplug;
        return attachLocked(data, spec, position);
    });
    if (attached)
        announce(listener, spec.path, true);
}

void detach(const std::string &path) {
    HotplugListener listener;
    const bool detached = locked([&](Data &data) {
        listener = data.hotplug;
        return detachLocked(data, path);
    });
    if (detached)
        announce(listener, path, false);
}

bool isAttached(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device && device->attached;
    });
}

void setRecord(const std::string &path, const std::string &name,
               const std::vector<uint8_t> &value) {
    locked([&](Data &data) { deviceAt(data, path).records[name] = value; });
}

void setRecordText(const std::string &path, const std::string &name, const std::string &text) {
    setRecord(path, name, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> record(const std::string &path, const std::string &name) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        if (!device || !device->records.count(name))
            return std::vector<uint8_t>();
        return device->records.at(name);
    });
}

bool hasRecord(const std::string &path, const std::string &name) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device && device->records.count(name) > 0;
    });
}

void setFlash(const std::string &path, const std::vector<uint8_t> &flash) {
    locked([&](Data &data) {
        Bytes &target = deviceAt(data, path).flash;
        std::fill(target.begin(), target.end(), 0xFF);
        std::copy_n(flash.begin(), std::min(flash.size(), target.size()), target.begin());
    });
}

std::vector<uint8_t> flash(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? device->flash : Bytes(kFlashSize, 0xFF);
    });
}

std::vector<uint8_t> receivedFirmware(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? device->firmware : Bytes();
    });
}

int receivedFirmwareBlocks(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? device->firmwareBlocks : 0;
    });
}

void setReceivedFirmware(const std::string &path, const std::vector<uint8_t> &firmware) {
    locked([&](Data &data) { deviceAt(data, path).firmware = firmware; });
}

void setVersionAfterFirmware(const std::string &path, const std::string &text) {
    locked([&](Data &data) { deviceAt(data, path).versionAfterFirmware = text; });
}

std::vector<LoggedRequest> requestLog() {
    return locked([](Data &data) { return data.log; });
}

void clearRequestLog() {
    locked([](Data &data) {
        data.log.clear();
        ++data.logEpoch;
    });
}

int protocolErrors() {
    return locked([](Data &data) { return int(data.protocolErrors.size()); });
}

std::vector<std::string> protocolErrorLog() {
    return locked([](Data &data) { return data.protocolErrors; });
}

int openHandleCount() {
    return locked([](Data &data) {
        return int(std::count_if(data.handles.begin(), data.handles.end(),
                                 [](const auto &handle) { return !handle->closed; }));
    });
}

int initCount() {
    return locked([](Data &data) { return data.initCount; });
}

void failWrites(const std::string &path, RequestMatcher matcher) {
    locked([&](Data &data) { deviceAt(data, path).writeFault = std::move(matcher); });
}

void failReads(const std::string &path, RequestMatcher matcher) {
    locked([&](Data &data) { deviceAt(data, path).readFault = std::move(matcher); });
}

void stopAnswering(const std::string &path, bool stopped) {
    locked([&](Data &data) { setStopped(data, deviceAt(data, path), stopped); });
}

void setReplyDelayMs(const std::string &path, int delayMs) {
    locked([&](Data &data) { deviceAt(data, path).replyDelayMs = delayMs; });
}

void answerLate(const std::string &path, int requestIndex, int delayMs) {
    locked([&](Data &data) { deviceAt(data, path).lateAnswers[requestIndex] = delayMs; });
}

void shortReplies(const std::string &path, RequestMatcher matcher, std::size_t length) {
    locked([&](Data &data) {
        Device &device = deviceAt(data, path);
        device.shortReplyFault = std::move(matcher);
        device.shortReplyLength = length;
    });
}

void stallWrites(const std::string &path, RequestMatcher matcher, int blockMs) {
    locked([&](Data &data) {
        Device &device = deviceAt(data, path);
        device.stallFault = std::move(matcher);
        device.stallMs = blockMs;
    });
}

void zeroReads(const std::string &path, RequestMatcher matcher) {
    locked([&](Data &data) { deviceAt(data, path).zeroReadFault = std::move(matcher); });
}

int requestCount(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? device->requestIndex : 0;
    });
}

int repliesInFlight(const std::string &path) {
    return locked([&](Data &data) {
        const Device *device = findDevice(data, path);
        return device ? int(device->inFlight.size()) : 0;
    });
}

void detachAfterRequests(const std::string &path, int requestCount) {
    if (requestCount == 0) {
        detach(path);
        return;
    }
    locked([&](Data &data) { deviceAt(data, path).detachCountdown = std::max(-1, requestCount); });
}

void failOpen(const std::string &path, bool fail) {
    failOpenWith(path, fail ? EACCES : 0);
}

void failOpenWith(const std::string &path, int error) {
    locked([&](Data &data) { deviceAt(data, path).failOpenError = error; });
}

void vanishOnOpen(const std::string &path) {
    locked([&](Data &data) { deviceAt(data, path).vanishOnOpen = true; });
}

void failInit(bool fail) {
    locked([&](Data &data) { data.failInit = fail; });
}

void clearFaults() {
    locked([](Data &data) {
        data.failInit = false;
        for (auto &entry : data.devices) {
            Device &device = entry.second;
            device.writeFault = nullptr;
            device.readFault = nullptr;
            device.shortReplyFault = nullptr;
            device.stallFault = nullptr;
            device.zeroReadFault = nullptr;
            device.lateAnswers.clear();
            setStopped(data, device, false);
            device.replyDelayMs = 0;
            device.detachCountdown = -1;
            device.failOpenError = 0;
            device.vanishOnOpen = false;
        }
    });
}

std::vector<std::string> misuse() {
    return locked([](Data &data) { return data.misuse; });
}

int misuseCount() {
    return locked([](Data &data) { return int(data.misuse.size()); });
}

RequestMatcher matchIndex(int index) {
    return
        [index](const std::vector<uint8_t> &, int requestIndex) { return requestIndex == index; };
}

RequestMatcher matchAll() {
    return [](const std::vector<uint8_t> &, int) { return true; };
}

RequestMatcher matchCommand(uint8_t command, uint8_t target) {
    return [command, target](const std::vector<uint8_t> &request, int) {
        return request.size() > protocol::kTargetAt && request[protocol::kCommandAt] == command &&
               request[protocol::kTargetAt] == target;
    };
}

void setHotplugListener(std::function<void(const std::string &path, bool arrived)> listener) {
    locked([&](Data &data) { data.hotplug = std::move(listener); });
}

} // namespace emu
