#pragma once
#include <cstdint>

// Finds the first enumerated HID interface matching all four criteria (0 in a
// criterion accepts any value) and copies its path into `pathOut`: at most 256
// bytes, zero-padded to 256 when shorter. On no match `pathOut` is untouched.
void getDevicePath(uint16_t vendorId, uint16_t productId, uint16_t usagePage, uint16_t usage,
                   char *pathOut);
