#include "device/DeviceSession.h"

#include <cstring>

#include "device/DeviceDiscovery.h"
#include "device/SessionRecorder.h"

#include <cerrno>

namespace accessory {

const std::array<Candidate, 7> &candidates() {
    return kOpenedPairs;
}

const char *const kPermissionHint =
    "The accessory was found but could not be opened. On Linux this is almost always a "
    "missing udev rule: install the program's rule (70-corvane.rules) into "
    "/etc/udev/rules.d or /usr/lib/udev/rules.d, run "
    "'udevadm control --reload-rules && udevadm trigger', then unplug and replug the "
    "accessory.";

uint16_t findFirstCandidate(char *pathOut) {
    for (const Candidate &candidate : candidates()) {
        getDevicePath(candidate.vendorId, candidate.productId, kUsagePage, kUsage, pathOut);
        if (pathOut[0] != 0)
            return candidate.productId;
    }
    return 0;
}

std::vector<Attached> listAttached() {
    std::vector<Attached> found;
    for (const Candidate &candidate : candidates()) {
        hid_device_info *devices = hid_enumerate(candidate.vendorId, candidate.productId);
        for (const hid_device_info *info = devices; info; info = info->next) {
            if (info->usage_page == kUsagePage && info->usage == kUsage && info->path)
                found.push_back({info->vendor_id, info->product_id, QByteArray(info->path),
                                 info->serial_number ? QString::fromWCharArray(info->serial_number)
                                                     : QString()});
        }
        hid_free_enumeration(devices);
    }
    return found;
}

namespace {

// Tells an active recording which accessory was opened, as enumeration
// describes it.
void noteOpened(const char *path) {
    const std::shared_ptr<recording::Recorder> recorder = recording::active();
    if (!recorder)
        return;
    hid_device_info *devices = hid_enumerate(0, 0);
    for (const hid_device_info *info = devices; info; info = info->next) {
        if (info->path && std::strcmp(info->path, path) == 0) {
            recorder->noteDevice({QByteArray(path), info->vendor_id, info->product_id,
                                  info->usage_page, info->usage});
            break;
        }
    }
    hid_free_enumeration(devices);
}

} // namespace

const char *const kUnidentifiedBeforeUpdate =
    "The accessory does not answer its identification: its records could not be read. A "
    "firmware update may still repair it.";

std::optional<Attached> attachedAt(const QByteArray &path) {
    for (const Attached &candidate : listAttached())
        if (candidate.path == path)
            return candidate;
    return std::nullopt;
}

hid_device *open(const char *path, int *error) {
    // hidapi reports why open(2) failed only in its error text; errno still
    // holds the reason when it returns.
    errno = 0;
    hid_device *opened = hid_open_path(path);
    const int reason = errno;
    if (error)
        *error = opened ? 0 : reason;
    if (opened) {
        hid_set_nonblocking(opened, 0);
        noteOpened(path);
    }
    return opened;
}

Identity identify(DeviceChannel &channel, uint16_t productId) {
    struct RecordTarget {
        const char *name;
        std::optional<QString> Identity::*field;
    };
    static constexpr RecordTarget kRecords[] = {{kVersionRecord, &Identity::version},
                                                {kAccountIdRecord, &Identity::psnId},
                                                {kPinRecord, &Identity::pin}};
    Identity identity;
    for (const RecordTarget &record : kRecords) {
        DeviceReport reply{};
        const ExchangeResult result = channel.exchange(report::recordRead(productId, record.name),
                                                       &reply, ReplyWait::Interactive);
        if (result == ExchangeResult::Ok) {
            identity.*record.field =
                report::replyRecordText(reply, record.field == &Identity::version);
            continue;
        }
        identity.allAnswered = false;
        // A device that does not answer one read will not answer the next
        // either; stop here instead of waiting out every bound.
        if (result == ExchangeResult::Timeout)
            break;
    }
    return identity;
}

} // namespace accessory
