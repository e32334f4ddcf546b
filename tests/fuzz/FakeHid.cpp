#include "FakeHid.h"

#include <algorithm>
#include <cstring>

#include "device/DeviceReport.h"

namespace fakehid {
namespace {

struct Script {
    const uint8_t *next = nullptr;
    std::size_t left = 0;

    uint8_t byte() {
        if (left == 0)
            return 0;
        --left;
        return *next++;
    }
};

Script script;
// What the read after the last write returns: a report of `replyLength`
// bytes, -1 for a failed read, 0 once taken.
int replyLength = 0;
uint8_t reply[kReportSize];

} // namespace

void serve(const uint8_t *data, std::size_t size) {
    script = {data, size};
    replyLength = 0;
}

hid_device *handle() {
    return reinterpret_cast<hid_device *>(&script);
}

} // namespace fakehid

using fakehid::reply;
using fakehid::replyLength;
using fakehid::script;

extern "C" {

int hid_init(void) {
    return 0;
}

int hid_exit(void) {
    return 0;
}

hid_device_info *hid_enumerate(unsigned short, unsigned short) {
    return nullptr;
}

void hid_free_enumeration(hid_device_info *) {}

hid_device *hid_open_path(const char *) {
    return nullptr;
}

int hid_set_nonblocking(hid_device *, int) {
    return 0;
}

void hid_close(hid_device *) {}

int hid_write(hid_device *, const unsigned char *, size_t length) {
    if (script.left == 0)
        return -1;
    const uint8_t control = script.byte() % 4;
    if (control == 1)
        return -1;
    if (control == 2) {
        replyLength = -1;
        return int(length);
    }
    const std::size_t announced = (script.byte() | (script.byte() << 8)) % (kReportSize + 1);
    const std::size_t given = std::min(announced, script.left);
    std::memset(reply, 0, sizeof reply);
    std::memcpy(reply, script.next, given);
    script.next += given;
    script.left -= given;
    replyLength = int(std::max<std::size_t>(announced, 1));
    return int(length);
}

int hid_read_timeout(hid_device *, unsigned char *data, size_t length, int milliseconds) {
    if (milliseconds == 0 || replyLength == 0)
        return 0;
    const int got = replyLength;
    replyLength = 0;
    if (got < 0)
        return -1;
    const std::size_t copied = std::min<std::size_t>(std::size_t(got), length);
    std::memcpy(data, reply, copied);
    return int(copied);
}

int hid_read(hid_device *device, unsigned char *data, size_t length) {
    return hid_read_timeout(device, data, length, -1);
}

} // extern "C"
