// Device-change notifications delivered to the window by the platform. On
// Windows they arrive as WM_DEVICECHANGE messages; elsewhere a DeviceMonitor
// delivers them.
#include "ui/MainWindow.h"

#ifdef Q_OS_WIN

#include <windows.h>

#include <dbt.h>

namespace {

// GUID_DEVINTERFACE_HID, defined here so that no extra import library is needed.
const GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The device-interface broadcast of an arrival or removal message, or null
// for any other message.
const DEV_BROADCAST_DEVICEINTERFACE_W *interfaceBroadcast(const MSG *msg) {
    if (msg->message != WM_DEVICECHANGE || msg->lParam == 0)
        return nullptr;
    if (msg->wParam != DBT_DEVICEARRIVAL && msg->wParam != DBT_DEVICEREMOVECOMPLETE)
        return nullptr;
    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(msg->lParam);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return nullptr;
    return reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(header);
}

} // namespace

void MainWindow::registerDeviceNotifications() {
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    ZeroMemory(&filter, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kHidInterfaceClass;
    // The handle is not kept: the registration lasts as long as the program.
    RegisterDeviceNotificationW(reinterpret_cast<HANDLE>(winId()), &filter,
                                DEVICE_NOTIFY_WINDOW_HANDLE);
}

bool MainWindow::nativeEvent(const QByteArray &eventType, void *message,
                             NativeEventResult *result) {
    const auto *msg = static_cast<const MSG *>(message);
    if (msg) {
        if (const auto *broadcast = interfaceBroadcast(msg)) {
            const QString name = QString::fromWCharArray(broadcast->dbcc_name);
            if (msg->wParam == DBT_DEVICEARRIVAL)
                handleInterfaceArrival(name);
            else
                handleInterfaceRemoval(name);
        }
    }
    return QDialog::nativeEvent(eventType, message, result);
}

#else

void MainWindow::registerDeviceNotifications() {}

bool MainWindow::nativeEvent(const QByteArray &eventType, void *message,
                             NativeEventResult *result) {
    return QDialog::nativeEvent(eventType, message, result);
}

#endif
