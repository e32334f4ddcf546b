#pragma once
// Replaying a recorded device session: the emulated accessory answers each
// request with the reply recorded for it, after the recorded delay, as long
// as the program asks what the recording holds, in the same order. Where it
// asks something else, the replay fails loudly: the write fails, and the
// failure, naming the exchange, goes to stderr with the prefix
// "EMULATOR REPLAY MISMATCH: " and into replayFailures().

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

struct ReplayExchange {
    enum class Outcome {
        Replied,     // the reply came (perhaps short)
        NoReply,     // none came while the program waited
        WriteFailed, // hid_write returned -1 (after the delay)
        ReadFailed,  // the read failed: the device went away after the write
    };
    int number = 0; // as the recording numbers it, for messages
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply; // Outcome::Replied only
    int delayMs = 0;
    Outcome outcome = Outcome::Replied;
    // The value of a record write was masked: any value of the recorded
    // length matches.
    bool maskedValue = false;
};

struct ReplayScript {
    std::vector<ReplayExchange> exchanges;
    bool fullSpeed = false; // replies at once, failed writes without their delay
};

// From now on every write to any emulated device is answered from `script`
// (the devices' records and faults no longer matter). Attach the recorded
// device before or after; reset() ends the replay.
void startReplay(ReplayScript script);
bool replayActive();
// Exchanges the program has asked so far.
int replayedExchanges();
int scriptedExchanges();
std::vector<std::string> replayFailures();

} // namespace emu
