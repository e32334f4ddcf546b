#pragma once
// Common ground for tests that drive the real window against the emulated
// accessory.

#include <QMutex>
#include <QStringList>
#include <memory>
#include <string>

#include "EmulatedAccessory.h"
#include "ui/MainWindow.h"

namespace fixture {

// The path of the standard emulated accessory (0x1ABE/0x2203).
extern const std::string kDevicePath;

// Clears the emulation and attaches the standard accessory with a version,
// an account ID and a PIN.
void attachStandardDevice();
// A fresh emulation with nothing attached.
void resetEmulation();

// Builds the window the way the program does (the constructor opens the
// device). The tray is reported as available so the window is built as on a
// desktop with a tray.
std::unique_ptr<MainWindow> makeWindow();

// Request bytes the device received, in order, optionally only one kind.
std::vector<std::vector<uint8_t>> requestsOfKind(int command, int target);

// What the window says when a lock of this test process keeps it off the
// accessory: the process named as /proc gives it.
QString busyText();

// Waits (processing events) until `done` holds or `timeoutMs` passes.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 30000);

} // namespace fixture

// Collects the debug lines written while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    int count(const QString &line) const;
    bool contains(const QString &line) const { return count(line) > 0; }
};
