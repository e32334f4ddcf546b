#pragma once
// One device job at a time across processes and users: an advisory lock per
// accessory, held by the window and by the command-line tool around every
// exchange sequence and every job. It is an flock(2) on the accessory's own
// device node (the hidraw node), which every user and `sudo` meet; a path
// that is no device node (the emulated accessory's) is locked through a file
// named after it in the private runtime folder (device/RuntimeFolder). The
// kernel drops the lock when its holder ends, however it ends.

#include <QString>
#include <memory>

class QLockFile;

class DeviceLock {
public:
    // Failed: the lock could not be taken at all (errorString() says why);
    // like Busy, the job must not go ahead.
    enum class Result { Acquired, Busy, Failed };

    DeviceLock();
    ~DeviceLock();
    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;

    // The lock file for an accessory whose path is no device node; empty,
    // with the reason in `error`, when there is no private folder for it.
    static QString lockFilePath(const QString &devicePath, QString *error);

    // Takes the lock without waiting. Nested calls while this object holds
    // it only count up (the window re-identifies during its own job).
    Result acquire(const QString &devicePath);
    // Undoes one acquire; the lock is given up with the last one.
    void release();
    bool held() const { return depth_ > 0; }
    // Why the last acquire returned Failed.
    QString errorString() const { return error_; }
    // Who held the lock when the last acquire returned Busy, where the
    // system says (/proc/locks and the process's name): "corvane-cli
    // (process 4242)"; empty when it does not.
    QString holder() const { return holder_; }
    // "corvane-cli (process 4242) is using the accessory", or "Another
    // program is using the accessory" when the holder is not known.
    QString busyText() const;

private:
    Result fail(const QString &reason);

    int depth_ = 0;
    int fd_ = -1;
    QString error_;
    QString holder_;
    std::unique_ptr<QLockFile> lockFile_; // where flock is not available
};
