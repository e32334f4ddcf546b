#pragma once
// Every bound on how long the program waits for the accessory, and why.

// What an exchange waits for, which decides how long it may wait.
enum class ReplyWait {
    // On the GUI thread (identification, Save): the window does not repaint
    // while it waits, and a working device answers a record at once.
    Interactive,
    // A firmware block: the device may erase a flash sector before it answers.
    FirmwareBlock,
    // A flash read: no erase, but the worker can afford more patience than
    // the window.
    FlashRead,
};

constexpr int kInteractiveReplyMs = 1500;
constexpr int kFirmwareBlockReplyMs = 5000;
constexpr int kFlashReadReplyMs = 3000;

constexpr int replyBoundMs(ReplyWait wait) {
    return wait == ReplyWait::FirmwareBlock ? kFirmwareBlockReplyMs
           : wait == ReplyWait::FlashRead   ? kFlashReadReplyMs
                                            : kInteractiveReplyMs;
}

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
