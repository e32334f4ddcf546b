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
using RequestMatcher = std::function<bool(const std::vector<uint8_t>& request, int index)>;

// Forget every device, handle, log, fault and counter; hid_init count back to 0.
void reset();

// Attach a device at the end of the enumeration order (or at `position`).
void attach(const DeviceSpec& spec);
void attachAt(const DeviceSpec& spec, std::size_t position);
// Unplug: the device disappears from enumeration and every open handle on it
// fails from now on (hid_write / hid_read return -1), as hidraw does.
void detach(const std::string& path);
bool isAttached(const std::string& path);

// Records the device answers record reads with ("version", "rp.psnid", "rp.pin").
void setRecord(const std::string& path, const std::string& name, const std::vector<uint8_t>& value);
void setRecordText(const std::string& path, const std::string& name, const std::string& text);
std::vector<uint8_t> record(const std::string& path, const std::string& name);
bool hasRecord(const std::string& path, const std::string& name);

// Flash answered by flash reads; 512 KiB, initially all 0xFF.
void setFlash(const std::string& path, const std::vector<uint8_t>& flash);
std::vector<uint8_t> flash(const std::string& path);

// Firmware blocks received, laid out by their address; grows as blocks arrive.
std::vector<uint8_t> receivedFirmware(const std::string& path);
int receivedFirmwareBlocks(const std::string& path);
// When set, after this many firmware blocks the device changes its "version"
// record to `text` (lets tests see a fresh identification after an update).
void setVersionAfterFirmware(const std::string& path, const std::string& text);

std::vector<LoggedRequest> requestLog();
void clearRequestLog();

int openHandleCount();
int initCount(); // hid_init calls minus hid_exit calls, never below 0

// --- fault injection (each applies to the device at `path`) ---
void failWrites(const std::string& path, RequestMatcher matcher); // hid_write returns -1
void failReads(const std::string& path, RequestMatcher matcher);  // reply read returns -1
void stopAnswering(const std::string& path, bool stopped);        // reads time out (0 bytes)
void setReplyDelayMs(const std::string& path, int delayMs);
// Detach the device right after it has received `requestCount` more requests.
void detachAfterRequests(const std::string& path, int requestCount);
void failOpen(const std::string& path, bool fail); // hid_open_path returns null
void failInit(bool fail);                          // hid_init returns -1
void clearFaults();

// --- misuse the emulation detects; each is also printed to stderr at once ---
// A write while the previous reply is still unread, any call on a closed or
// null handle, hid_exit while handles are open.
std::vector<std::string> misuse();
int misuseCount();

// Convenience matchers.
RequestMatcher matchIndex(int index);
RequestMatcher matchAll();
RequestMatcher matchCommand(uint8_t command, uint8_t target);

// Called (outside the emulator's lock) after attach or detach, with the path
// and true for arrival; the demo build forwards these as hot-plug events.
void setHotplugListener(std::function<void(const std::string& path, bool arrived)> listener);

} // namespace emu
