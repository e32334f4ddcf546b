// The hidapi C functions over the in-memory devices, with enumeration,
// attaching and detaching.
#include "EmulatorState.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace emu::detail {

State &state() {
    static State instance;
    return instance;
}

void recordMisuse(Data &data, std::string what) {
    std::fprintf(stderr, "EMULATOR MISUSE: %s\n", what.c_str());
    data.misuse.push_back(std::move(what));
    data.lastError = kErrMisuse;
}

void recordProtocolError(Data &data, const std::string &path, const std::string &why) {
    std::string entry = path + ": " + why;
    std::fprintf(stderr, "EMULATOR PROTOCOL ERROR: %s\n", entry.c_str());
    data.protocolErrors.push_back(std::move(entry));
}

Device &deviceAt(Data &data, const std::string &path) {
    Device &device = data.devices[path];
    device.spec.path = path;
    return device;
}

const Device *findDevice(const Data &data, const std::string &path) {
    auto found = data.devices.find(path);
    return found == data.devices.end() ? nullptr : &found->second;
}

// --- attach / detach -----------------------------------------------------------

bool attachLocked(Data &data, const DeviceSpec &spec, std::size_t position) {
    Device &device = deviceAt(data, spec.path);
    if (device.attached) {
        recordMisuse(data, "attach of " + spec.path + ", which is already attached");
        return false;
    }
    device.spec = spec;
    device.attached = true;
    ++device.generation;
    device.requestIndex = 0;
    position = std::min(position, data.order.size());
    data.order.insert(data.order.begin() + std::ptrdiff_t(position), spec.path);
    return true;
}

bool detachLocked(Data &data, const std::string &path) {
    auto found = data.devices.find(path);
    if (found == data.devices.end() || !found->second.attached)
        return false;
    found->second.attached = false;
    found->second.detachCountdown = -1;
    data.order.erase(std::remove(data.order.begin(), data.order.end(), path), data.order.end());
    found->second.inFlight.clear(); // replies not sent yet go with the device
    for (auto &handle : data.handles) {
        if (handle->path == path)
            handle->queue.clear();
    }
    return true;
}

void announce(const HotplugListener &listener, const std::string &path, bool arrived) {
    if (listener)
        listener(path, arrived);
}

// --- enumeration ---------------------------------------------------------------

bool matches(const DeviceSpec &spec, unsigned short vendorId, unsigned short productId) {
    return (vendorId == 0 || spec.vendorId == vendorId) &&
           (productId == 0 || spec.productId == productId);
}

hid_device_info *newDeviceInfo(const DeviceSpec &spec) {
    auto *info = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(spec.path.c_str());
    info->vendor_id = spec.vendorId;
    info->product_id = spec.productId;
    info->serial_number = wcsdup(L"");
    info->manufacturer_string = wcsdup(L"");
    info->product_string = wcsdup(L"");
    info->usage_page = spec.usagePage;
    info->usage = spec.usage;
    info->interface_number = 0;
    info->bus_type = HID_API_BUS_USB;
    return info;
}

std::vector<DeviceSpec> attachedSpecs() {
    return locked([](Data &data) {
        std::vector<DeviceSpec> specs;
        for (const std::string &path : data.order)
            specs.push_back(data.devices.at(path).spec);
        return specs;
    });
}

} // namespace emu::detail

// --- the hidapi functions --------------------------------------------------------

using namespace emu::detail;

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) {
    return locked([](Data &data) {
        if (data.failInit) {
            data.lastError = kErrInitFault;
            return -1;
        }
        ++data.initCount;
        return 0;
    });
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
    return locked([](Data &data) {
        const int open = int(std::count_if(data.handles.begin(), data.handles.end(),
                                           [](const auto &handle) { return !handle->closed; }));
        if (open > 0)
            recordMisuse(data, "hid_exit while " + std::to_string(open) + " handle(s) are open");
        data.initCount = std::max(0, data.initCount - 1);
        return 0;
    });
}

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
    hid_device_info *head = nullptr;
    hid_device_info **tail = &head;
    for (const emu::DeviceSpec &spec : attachedSpecs()) {
        if (!matches(spec, vendor_id, product_id))
            continue;
        *tail = newDeviceInfo(spec);
        tail = &(*tail)->next;
    }
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info *devs) {
    while (devs) {
        hid_device_info *next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open(unsigned short, unsigned short, const wchar_t *) {
    locked([](Data &data) { data.lastError = kErrOpenUnsupported; });
    return nullptr;
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path) {
    // As hidraw's open(2) does, a failure leaves its reason in errno.
    HotplugListener listener;
    bool vanished = false;
    int error = 0;
    hid_device *opened = locked([&](Data &data) -> hid_device * {
        auto known = path ? data.devices.find(path) : data.devices.end();
        Device *device = known == data.devices.end() ? nullptr : &known->second;
        if (device && device->attached && device->vanishOnOpen) {
            device->vanishOnOpen = false;
            listener = data.hotplug;
            vanished = detachLocked(data, path);
        }
        if (!device || !device->attached) {
            data.lastError = kErrNoDevice;
            error = ENOENT;
            return nullptr;
        }
        if (device->failOpenError != 0) {
            data.lastError = kErrOpenFault;
            error = device->failOpenError;
            return nullptr;
        }
        auto handle = std::make_unique<hid_device_>();
        handle->path = path;
        handle->generation = device->generation;
        data.handles.push_back(std::move(handle));
        return data.handles.back().get();
    });
    if (vanished)
        announce(listener, path, false);
    if (!opened)
        errno = error;
    return opened;
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock) {
    return locked([dev, nonblock](Data &data) {
        hid_device_ *handle = usableHandle(data, dev, "hid_set_nonblocking");
        if (!handle)
            return -1;
        handle->nonblocking = nonblock != 0;
        return 0;
    });
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data,
                                          size_t length) {
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    advance(s.data, Clock::now());
    const WriteStep step = writeLocked(s.data, dev, data, length);
    const int result = step.stallMs > 0 ? stallWrite(s, lock, *dev, step.stallMs) : step.result;
    std::string path;
    HotplugListener listener;
    if (step.detachedNow) {
        path = dev->path;
        listener = s.data.hotplug;
    }
    lock.unlock();
    s.changed.notify_all();
    if (step.detachedNow)
        announce(listener, path, false);
    return result;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device *dev, unsigned char *data,
                                                 size_t length, int milliseconds) {
    return readReply(dev, data, length, milliseconds, "hid_read_timeout");
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length) {
    return readReply(dev, data, length, std::nullopt, "hid_read");
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev) {
    locked([dev](Data &data) {
        hid_device_ *handle = usableHandle(data, dev, "hid_close");
        if (!handle)
            return;
        if (handle->readers > 0 || handle->writers > 0)
            recordMisuse(data, "hid_close while another thread reads from or writes to the "
                               "handle (" +
                                   handle->path + ")");
        handle->closed = true;
        handle->queue.clear(); // closing discards the reports nobody read
    });
}

HID_API_EXPORT const wchar_t *HID_API_CALL hid_error(hid_device *dev) {
    return locked([dev](Data &data) -> const wchar_t * {
        if (!dev)
            return data.lastError;
        hid_device_ *handle = openHandle(data, dev, "hid_error");
        return handle ? handle->lastError : data.lastError;
    });
}

} // extern "C"
