#pragma once
// The accessory's identifiers, in one place: the vendor/product pairs the
// program opens, the interface names hot-plug watches, the HID collection it
// talks to and the names of its records. Discovery, hot-plug, the emulated
// accessory and the udev rule's test all read them from here.

#include <array>
#include <cstdint>

namespace accessory {

struct Candidate {
    uint16_t vendorId;
    uint16_t productId;
};

// The pairs the session opens, in the order it tries them.
inline constexpr std::array<Candidate, 7> kOpenedPairs{{
    {0x1ABE, 0x2203},
    {0x6A3A, 0x2202},
    {0xABCD, 0x2203},
    {0x1ABE, 0x2109},
    {0xABCD, 0x2204},
    {0xABCD, 0x2206},
    {0x1ABE, 0x2204},
}};

// Watched interfaces. Not the same set as the devices the session opens: some
// are watched but never opened, and one opened device is not watched.
inline constexpr std::array<const char *, 9> kWatchedNames{{
    "HID#VID_1ABE&PID_2202",
    "HID#VID_1ABE&PID_2109",
    "HID#VID_1ABE&PID_2203",
    "HID#VID_6A3A&PID_2202",
    "HID#VID_ABCD&PID_2103",
    "HID#VID_ABCD&PID_2109",
    "HID#VID_ABCD&PID_2204",
    "HID#VID_1ABE&PID_2204",
    "HID#VID_ABCD&PID_2206",
}};

// The top-level collection of the interface the program talks to.
inline constexpr uint16_t kUsagePage = 2;
inline constexpr uint16_t kUsage = 1;

// The records the accessory keeps.
inline constexpr char kVersionRecord[] = "version";
inline constexpr char kAccountIdRecord[] = "rp.psnid";
inline constexpr char kPinRecord[] = "rp.pin";

} // namespace accessory
