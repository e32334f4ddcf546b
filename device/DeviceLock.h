#pragma once
// One device job at a time across processes: an advisory lock per accessory,
// held by the window and by the command-line tool around every exchange
// sequence and every job. The lock is an flock(2) on a file in
// $XDG_RUNTIME_DIR named after the device path, so the kernel drops it when
// its holder ends, however it ends.

#include <QString>
#include <memory>

class QLockFile;

class DeviceLock {
public:
    enum class Result { Acquired, Busy };

    DeviceLock();
    ~DeviceLock();
    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;

    // The lock file for the accessory at `devicePath`.
    static QString lockFilePath(const QString &devicePath);

    // Takes the lock without waiting. Nested calls while this object holds
    // it only count up (the window re-identifies during its own job). When
    // the lock file cannot be created at all, the job goes ahead unguarded.
    Result acquire(const QString &devicePath);
    // Undoes one acquire; the lock is given up with the last one.
    void release();
    bool held() const { return depth_ > 0; }

private:
    int depth_ = 0;
    int fd_ = -1;
    std::unique_ptr<QLockFile> lockFile_; // where flock is not available
};
