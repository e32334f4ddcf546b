#pragma once
// The emulated accessory's internal state, shared by its parts: the devices
// and their records (AccessoryRecords.cpp), the per-handle report queues and
// their faults (ReportQueue.cpp), the control API (EmulatorControl.cpp) and
// the hidapi functions (EmulatedAccessory.cpp). Not for use outside them.

#include "EmulatedAccessory.h"
#include "EmulatorReplay.h"

#include <hidapi.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

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
    // Recovery behaviours (RecoveryBehaviours.cpp).
    RequestMatcher unansweredFault;
    int flashWriteDelayMs = 0;
    int restartAfterBlocks = 0; // firmware blocks until a restart; 0 = none
    std::string restartPath;
    int restartAbsentMs = 0;
    int restartTriggerIndex = -1; // the request whose reply, once read, restarts it
};

// A restarted device coming back under its new node.
struct Reappearance {
    std::string fromPath;
    std::string toPath;
    Clock::time_point at;
};

// A replay in progress (EmulatorReplay.cpp).
struct ReplayState {
    ReplayScript script;
    std::size_t next = 0; // the exchange the next write must match
    std::vector<std::string> failures;
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
    std::shared_ptr<ReplayState> replay;
    std::vector<Reappearance> reappearances;
    // Plug events that happened under the lock, announced once it is released.
    std::vector<std::pair<std::string, bool>> announcements;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed; // wakes readers on replies, detach, stop/resume, close
    Data data;
};

State &state();

void advance(Data &data, Clock::time_point now);
// Announces the plug events noted under the lock; call without holding it.
void flushAnnouncements(State &s);

// Runs `fn` on the data under the lock, after delivering the replies that have
// arrived meanwhile, and wakes waiting readers afterwards.
template <typename Fn> auto locked(Fn fn) {
    State &s = state();
    struct Wake {
        State &s;
        ~Wake() {
            s.changed.notify_all();
            flushAnnouncements(s);
        }
    } wake{s};
    std::lock_guard<std::mutex> lock(s.mutex);
    advance(s.data, Clock::now());
    return fn(s.data);
}

void recordMisuse(Data &data, std::string what);
void recordProtocolError(Data &data, const std::string &path, const std::string &why);
// The device at `path`, known from now on (attached or not).
Device &deviceAt(Data &data, const std::string &path);
const Device *findDevice(const Data &data, const std::string &path);

// --- the device's side of the report protocol (AccessoryRecords.cpp) ---------
namespace protocol {

struct Outcome {
    Bytes reply;
    std::string error; // non-empty: the request was not understood
};

// Acts on one request as the device does and builds its reply.
Outcome answer(Device &device, const Bytes &request);

} // namespace protocol

// --- attach / detach (EmulatedAccessory.cpp) ---------------------------------
bool attachLocked(Data &data, const DeviceSpec &spec, std::size_t position);
bool detachLocked(Data &data, const std::string &path);
void announce(const HotplugListener &listener, const std::string &path, bool arrived);

// --- handles and their report queues (ReportQueue.cpp) -----------------------
hid_device_ *openHandle(Data &data, hid_device *dev, const char *function);
hid_device_ *usableHandle(Data &data, hid_device *dev, const char *function);
Device *liveDevice(Data &data, const hid_device_ &handle);
void setStopped(Data &data, Device &device, bool stopped);

struct WriteStep {
    int result = -1;
    int stallMs = 0; // > 0: block this long, then fail
    bool detachedNow = false;
};

WriteStep writeLocked(Data &data, hid_device *dev, const unsigned char *bytes, std::size_t length);
int fail(hid_device_ &handle, const wchar_t *error);
void logRequest(Data &data, hid_device_ &handle, const Bytes &request, int index);
void checkNothingLeftUnread(Data &data, const hid_device_ &handle);
// A write while a replay runs (EmulatorReplay.cpp).
WriteStep replayWrite(Data &data, hid_device_ &handle, const Bytes &request);
int stallWrite(State &s, std::unique_lock<std::mutex> &lock, hid_device_ &handle, int ms);
// `timeoutMs` empty: block or poll according to the handle's mode (hid_read).
int readReply(hid_device *dev, unsigned char *out, std::size_t length, std::optional<int> timeoutMs,
              const char *function);

// --- recovery behaviours (RecoveryBehaviours.cpp) -----------------------------
// Brings back the restarted devices that are due.
void bringBackRestarted(Data &data, Clock::time_point now);
bool answersRequest(const Device &device, const Bytes &request, int index);
int replyDelayFor(const Device &device, const Bytes &request);
// Counts a received firmware block towards a restart.
void noteRestartTrigger(Device &device, const Bytes &request, int index);
// After the host has read the reply numbered `answeredIndex`.
void restartIfTriggered(Data &data, Device &device, int answeredIndex);

} // namespace emu::detail
