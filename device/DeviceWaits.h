#pragma once
// Every bound on how long the program waits for the accessory, and why.

// What an exchange waits for, which decides how long it may wait: each bound
// fits what the device does before it answers.
enum class ReplyWait {
    // A record read on the GUI thread (identification): the window does not
    // repaint while it waits, and a working device answers a read at once.
    Interactive,
    // A record write: the device writes its flash before it answers, as for
    // a firmware block.
    RecordWrite,
    // A firmware block: the device may erase a flash sector before it answers.
    FirmwareBlock,
    // A flash read: no erase, but the worker can afford more patience than
    // the window.
    FlashRead,
};

constexpr int kInteractiveReplyMs = 1500;
constexpr int kFlashWriteReplyMs = 5000;
constexpr int kFirmwareBlockReplyMs = kFlashWriteReplyMs;
constexpr int kRecordWriteReplyMs = kFlashWriteReplyMs;
constexpr int kFlashReadReplyMs = 3000;

constexpr int replyBoundMs(ReplyWait wait) {
    switch (wait) {
    case ReplyWait::RecordWrite:
        return kRecordWriteReplyMs;
    case ReplyWait::FirmwareBlock:
        return kFirmwareBlockReplyMs;
    case ReplyWait::FlashRead:
        return kFlashReadReplyMs;
    case ReplyWait::Interactive:
        break;
    }
    return kInteractiveReplyMs;
}

// A job of many blocks (firmware transfer, flash read-back) forgives its
// device one late reply: the first reply that misses its bound is waited for
// once more, up to this long, before the job gives up on the device. A
// second late reply ends the job (a device that is slow once may be busy; one
// that is slow again is failing, and the user should not wait minutes).
constexpr int kSecondReplyWaitMs = 5000;

// Replies are awaited in slices of this length; between slices a worker's
// stop request (which a removal also makes) ends the wait, so a worker stops
// within about 100 ms of being asked, whatever its bound.
constexpr int kReplySliceMs = 50;

// A write cannot be cut short: on a stalled endpoint hid_write blocks until
// the kernel gives up, after about 5 s. A worker therefore ends its job after
// this many failed writes in a row rather than crawl through the rest.
constexpr int kStalledWriteMs = 5000;
constexpr int kMaxConsecutiveWriteFailures = 3;

// How long the window waits for a worker it asked to stop: one slice, plus
// one write that may be stalled, plus margin.
constexpr unsigned long kWorkerStopWaitMs = kReplySliceMs + kStalledWriteMs + 1000;

// An accessory restarts after a firmware update and may come back under a new
// node: it is looked for this long, every kRestartPollMs, before the update's
// outcome is shown without its new version.
constexpr int kRestartWaitMs = 10000;
constexpr int kRestartPollMs = 250;
