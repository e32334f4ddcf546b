#pragma once
// Finding, opening and identifying the accessory, with nothing but Qt Core:
// the window's device session and the command-line tool share this code.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <hidapi.h>
#include <optional>
#include <vector>

#include "device/AccessoryIds.h"
#include "device/DeviceChannel.h"
#include "device/PortableFolder.h"

namespace accessory {

// The vendor/product pairs of the accessory's variants, in the order they are
// tried; the first one found is opened.
const std::array<Candidate, 7> &candidates();

// Why an accessory that was found could not be opened, and what to do.
extern const char *const kPermissionHint;

// Copies the path of the first attached candidate into `pathOut` (which the
// caller has zeroed; at least 256 bytes) and returns its product identifier;
// returns 0 and leaves `pathOut` empty when none is attached.
uint16_t findFirstCandidate(char *pathOut);

// One attached interface of the accessory.
struct Attached {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    QByteArray path;
    QString serial; // empty when the device reports none
};

// Every attached interface that findFirstCandidate would accept, in the order
// it tries them, so the first entry is the one the window opens.
std::vector<Attached> listAttached();

// The attached interface of the accessory at `path`; nullopt when none is.
std::optional<Attached> attachedAt(const QByteArray &path);

// Said before an update of an accessory whose identification went unanswered.
extern const char *const kUnidentifiedBeforeUpdate;

// Opens the interface at `path` in blocking mode; null when it cannot be
// opened, with the reason (an errno value, 0 when unknown) in `error`.
hid_device *open(const char *path, int *error = nullptr);

// The three records read at identification. A record stays unset unless its
// reply came complete: a record that was not read is not an empty record.
struct Identity {
    std::optional<QString> version;
    std::optional<QString> psnId;
    std::optional<QString> pin;
    bool allAnswered = true; // every record read got its reply
};

// Reads "version", "rp.psnid" and "rp.pin", in this order.
Identity identify(DeviceChannel &channel, uint16_t productId);

} // namespace accessory
