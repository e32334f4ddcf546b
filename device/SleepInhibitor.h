#pragma once

#include <QString>

// Keeps the computer from sleeping or shutting down while a device job runs,
// from construction to destruction: an accessory whose firmware update stops
// halfway may not start again. On Linux a systemd-logind "block" inhibitor
// (its file descriptor held open, closed on release or when the process
// ends); on Windows the thread's execution state. Without logind (no system
// bus, or the request refused) the job goes on, and the log says so.
class SleepInhibitor {
public:
    // `what` tells the user what holds off sleep ("Updating the accessory's
    // firmware"), in the desktop's list of inhibitors.
    explicit SleepInhibitor(const QString &what);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor &) = delete;
    SleepInhibitor &operator=(const SleepInhibitor &) = delete;

    bool held() const { return held_; }

private:
    bool held_ = false;
    int fd_ = -1;
};
