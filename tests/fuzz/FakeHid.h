#pragma once
// hidapi for the fuzz targets, in memory: no accessory is ever enumerated, and
// the one handle handed out answers from a script, so that the fuzzer decides
// every reply the device code reads. Never linked into the program.

#include <cstddef>
#include <cstdint>
#include <hidapi.h>

namespace fakehid {

// What each request written to handle() meets, taken from `script` in turn:
// a control byte, then for a reply its length (two bytes, little-endian,
// taken modulo kReportSize + 1) and as many bytes of it as the script still
// holds. Control byte modulo 4: 1 = the write fails, 2 = the read of the
// reply fails, anything else = the reply comes. Once the script is used up
// every write fails, so a job of many requests ends quickly. No read ever
// waits: a reply announced empty arrives as one zero byte.
void serve(const uint8_t *script, std::size_t size);

// A handle to hand to DeviceChannel; closing it does nothing.
hid_device *handle();

} // namespace fakehid
