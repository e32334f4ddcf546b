#pragma once
// Control side of the emulated accessory. The library this header belongs to
// also defines the hidapi C functions (hid_init, hid_enumerate, hid_open_path,
// hid_write, hid_read, hid_read_timeout, ...) over an in-memory device, so a
// binary linked against it talks to this emulation instead of real hardware.
//
// Every function here is thread-safe: tests drive the emulation from the GUI
// thread while the program's workers talk to it from theirs.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/AccessoryIds.h"

namespace emu {

constexpr std::size_t kReportSize = 1024;
constexpr std::size_t kFlashSize = 512 * 1024;

struct DeviceSpec {
    uint16_t vendorId = accessory::kOpenedPairs[0].vendorId;
    uint16_t productId = accessory::kOpenedPairs[0].productId;
    uint16_t usagePage = accessory::kUsagePage;
    uint16_t usage = accessory::kUsage;
    std::string path = "/dev/hidraw-emulated0";
    std::wstring serial; // the serial number it reports; empty: none
};

// One request as the device received it (the full buffer given to hid_write).
struct LoggedRequest {
    std::string path;
    std::vector<uint8_t> bytes;
    // The device's number for this request: its 0-based index since the device
    // was attached, failed writes included (the number matchIndex matches).
    int index = -1;
    // The number of the request whose reply was the first report read on the
    // writing handle after this request was written and before the next write
    // on that handle; kNoReportRead while none was. A caller that pairs every
    // request with its own reply leaves answeredBy == index on every entry.
    int answeredBy = -1;
};
constexpr int kNoReportRead = -1;

// Reports each open handle keeps until they are read; when a report arrives at
// a full queue, the oldest one is dropped.
constexpr std::size_t kReportQueueLength = 64;

// Which requests a fault applies to: called with the request bytes and the
// 0-based index of the request on that device since it was attached.
using RequestMatcher = std::function<bool(const std::vector<uint8_t> &request, int index)>;

// Forget every device, handle, log, fault and counter; hid_init count back to 0.
// Frees all handles, so no thread may be inside a hid_* call meanwhile.
void reset();

// Attach a device at the end of the enumeration order (or at `position`).
void attach(const DeviceSpec &spec);
void attachAt(const DeviceSpec &spec, std::size_t position);
// Unplug: the device disappears from enumeration and every open handle on it
// fails from now on (hid_write / hid_read return -1), as hidraw does. Handles
// stay dead even if the same path is attached again; the device's records,
// flash and received firmware survive the replug, as they would in hardware.
// Setting records or faults on a path not attached yet is allowed.
void detach(const std::string &path);
bool isAttached(const std::string &path);

// Records the device answers record reads with ("version", "rp.psnid", "rp.pin").
void setRecord(const std::string &path, const std::string &name, const std::vector<uint8_t> &value);
void setRecordText(const std::string &path, const std::string &name, const std::string &text);
std::vector<uint8_t> record(const std::string &path, const std::string &name);
bool hasRecord(const std::string &path, const std::string &name);

// Flash answered by flash reads; 512 KiB, initially all 0xFF.
void setFlash(const std::string &path, const std::vector<uint8_t> &flash);
std::vector<uint8_t> flash(const std::string &path);

// Firmware blocks received, laid out by their address; grows as blocks arrive.
std::vector<uint8_t> receivedFirmware(const std::string &path);
int receivedFirmwareBlocks(const std::string &path);
// What an earlier session left in the device's firmware area (the demo build
// restores it from its state folder); counts as no block received.
void setReceivedFirmware(const std::string &path, const std::vector<uint8_t> &firmware);
// When set, every firmware block received changes the device's "version"
// record to `text` (lets tests see a fresh identification after an update).
// An empty text turns this off again.
void setVersionAfterFirmware(const std::string &path, const std::string &text);

std::vector<LoggedRequest> requestLog();
void clearRequestLog();

// Requests the device did not understand (wrong length field, unknown command,
// malformed name, ...). Each was answered with an all-zero reply and printed to
// stderr with the prefix "EMULATOR PROTOCOL ERROR: ".
int protocolErrors();
std::vector<std::string> protocolErrorLog();

int openHandleCount();
int initCount(); // hid_init calls minus hid_exit calls, never below 0

// --- how replies travel ---
// As with the kernel's hidraw driver, a reply is an input report that the
// device sends when it has acted on a request. It arrives in the report queue
// of every handle open on the device at that moment (kReportQueueLength each),
// whoever wrote the request, and stays there until it is read: a read that
// gives up waiting leaves a reply that comes later for the next read, and only
// hid_close discards a handle's queue. hid_read takes the oldest queued report.

// Requests numbered on this device since it was attached, failed writes
// included: the number the next request will get.
int requestCount(const std::string &path);
// Replies the device has still to send (delayed or late ones, and those a
// stopped device withholds).
int repliesInFlight(const std::string &path);

// --- fault injection (each applies to the device at `path`) ---
// A failed write is not logged and gets no reply, but it still takes a request
// index, so matchIndex(n) always means "the n-th hid_write on this device".
// A stopped device logs what it receives but neither acts on it nor answers;
// replies it had not sent yet when it stopped are withheld until it resumes.
void failWrites(const std::string &path, RequestMatcher matcher); // hid_write returns -1
// The read that takes the reply to a matching request returns -1; the reply is gone.
void failReads(const std::string &path, RequestMatcher matcher);
void stopAnswering(const std::string &path, bool stopped); // reads find nothing
// Every reply arrives this long after its request.
void setReplyDelayMs(const std::string &path, int delayMs);
// The reply to request number `requestIndex` arrives `delayMs` after that
// request was written, into whatever handles are open on the device then.
void answerLate(const std::string &path, int requestIndex, int delayMs);
// Replies to matching requests are cut to `length` bytes (hid_read returns
// `length`), as a device that sends a shorter report would.
void shortReplies(const std::string &path, RequestMatcher matcher, std::size_t length);
// hid_write of a matching request blocks for `blockMs` and then fails (-1),
// as a write to a stalled endpoint does; the request is not received but takes
// an index. Unplugging or closing the handle ends the block early.
void stallWrites(const std::string &path, RequestMatcher matcher, int blockMs);
// The first read that waits (a timeout other than 0) for the reply to a
// matching request returns 0 at once; the reply stays queued for the next read.
void zeroReads(const std::string &path, RequestMatcher matcher);
// Detach the device right after it has received `requestCount` more requests
// (failed writes do not count; 0 detaches now, a negative count cancels). The
// write that triggers it succeeds; its reply is lost with the device.
void detachAfterRequests(const std::string &path, int requestCount);
// hid_open_path returns null with errno EACCES (permission denied), as hidraw
// does without the udev rule; failOpenWith picks the errno (0 ends the fault).
void failOpen(const std::string &path, bool fail);
void failOpenWith(const std::string &path, int error);
// The next hid_open_path finds the device unplugged (removed between listing
// and opening) and fails with ENOENT.
void vanishOnOpen(const std::string &path);
void failInit(bool fail); // hid_init returns -1
// --- recovery behaviours ---
// Matching requests are received and logged but neither acted on nor
// answered, as by an accessory left half-updated or in a boot mode that takes
// firmware blocks but no record reads.
void leaveUnanswered(const std::string &path, RequestMatcher matcher);
// Record writes and firmware blocks are flash writes on the device: their
// replies arrive this long after the request (instead of the reply delay).
void setFlashWriteDelayMs(const std::string &path, int delayMs);
// Restarts after an update: once `blocks` more firmware blocks have arrived
// and the reply to the last one has been read, the device is unplugged;
// `absentMs` later it is plugged in again at `newPath`, with the same
// identifiers and everything it holds, and without the faults set before.
// Both plug events reach the hot-plug listener.
void restartAfterFirmware(const std::string &path, int blocks, const std::string &newPath,
                          int absentMs);

// Ends every fault; replies already on their way still arrive.
void clearFaults();

// --- misuse the emulation detects; each is also printed to stderr at once ---
// A write while reports are queued that the caller could have read first: the
// reply to its previous request was never read, or a report that had arrived
// before the caller's last read is still queued (the write goes ahead and the
// reports stay queued, as they would in the kernel). Also any call on a
// closed, null or unknown handle, hid_close while another thread reads from or
// writes to that handle, hid_exit while handles are open, attaching a path
// that is already attached.
std::vector<std::string> misuse();
int misuseCount();

// Matchers run inside the emulation's lock: they must not call back into emu::
// or into the hid_* functions.

// Convenience matchers.
RequestMatcher matchIndex(int index);
RequestMatcher matchAll();
RequestMatcher matchCommand(uint8_t command, uint8_t target);

// Called (outside the emulator's lock) after attach or detach, with the path
// and true for arrival; the demo build forwards these as hot-plug events.
void setHotplugListener(std::function<void(const std::string &path, bool arrived)> listener);

} // namespace emu
