#include "device/DeviceDiscovery.h"

#include <QDebug>
#include <cstring>
#include <hidapi.h>

namespace {

constexpr std::size_t kPathCopyLength = 256;

bool criterionMatches(uint16_t wanted, uint16_t actual) {
    return wanted == 0 || wanted == actual;
}

void logRecord(const hid_device_info *info, uint16_t vendorId, uint16_t productId) {
    qDebug("loop search device");
    qDebug("vendor_id:%04x", info->vendor_id);
    qDebug("vid:%04x", vendorId);
    qDebug("product_id:%04x", info->product_id);
    qDebug("pid:%04x", productId);
    qDebug("cur_dev->usage_page:%04x", info->usage_page);
    qDebug("cur_dev->usage:%04x", info->usage);
}

} // namespace

void getDevicePath(uint16_t vendorId, uint16_t productId, uint16_t usagePage, uint16_t usage,
                   char *pathOut) {
    qDebug("Enter getDevicePath\xEF\xBC\x9Avid:%04x,pid:%04x", vendorId, productId);
    hid_device_info *devices = hid_enumerate(vendorId, productId);
    for (const hid_device_info *info = devices; info; info = info->next) {
        logRecord(info, vendorId, productId);
        if (criterionMatches(vendorId, info->vendor_id) &&
            criterionMatches(productId, info->product_id) &&
            criterionMatches(usagePage, info->usage_page) && criterionMatches(usage, info->usage)) {
            qDebug() << "find device:" << info->path;
            std::strncpy(pathOut, info->path ? info->path : "", kPathCopyLength);
            break;
        }
    }
    hid_free_enumeration(devices);
}
