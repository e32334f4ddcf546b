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

namespace emu {

constexpr std::size_t kReportSize = 1024;
constexpr std::size_t kFlashSize = 512 * 1024;

struct DeviceSpec {
    uint16_t vendorId = 0x1ABE;
    uint16_t productId = 0x2203;
    uint16_t usagePage = 2;
    uint16_t usage = 1;
    std::string path = "/dev/hidraw-emulated0";
};

// One request as the device received it (the full buffer given to hid_write).
struct LoggedRequest {
    std::string path;
    std::vector<uint8_t> bytes;
};

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

// --- fault injection (each applies to the device at `path`) ---
// A failed write is not logged and gets no reply, but it still takes a request
// index, so matchIndex(n) always means "the n-th hid_write on this device".
// A stopped device logs what it receives but neither acts on it nor answers;
// a reply still pending when it stopped is withheld until it resumes.
// A read that times out (timeout > 0) drops the reply it was waiting for, so a
// late reply is never taken for the answer to the next request; a zero-timeout
// poll leaves it pending.
void failWrites(const std::string &path, RequestMatcher matcher); // hid_write returns -1
void failReads(const std::string &path, RequestMatcher matcher);  // reply read returns -1
void stopAnswering(const std::string &path, bool stopped);        // reads time out (0 bytes)
void setReplyDelayMs(const std::string &path, int delayMs);
// Detach the device right after it has received `requestCount` more requests
// (failed writes do not count; 0 detaches now, a negative count cancels). The
// write that triggers it succeeds; its reply is lost with the device.
void detachAfterRequests(const std::string &path, int requestCount);
void failOpen(const std::string &path, bool fail); // hid_open_path returns null
void failInit(bool fail);                          // hid_init returns -1
void clearFaults();

// --- misuse the emulation detects; each is also printed to stderr at once ---
// A write while the previous reply is still unread (the stale reply is dropped
// and the write goes ahead), any call on a closed, null or unknown handle,
// hid_close while another thread reads from that handle, hid_exit while
// handles are open, attaching a path that is already attached.
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
