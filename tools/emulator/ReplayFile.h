#pragma once
// Replaying a recording file in the emulated programs and tests:
//
//   CORVANE_EMULATOR_REPLAY=FILE          replay FILE instead of the demo
//                                         accessory
//   CORVANE_EMULATOR_REPLAY_FULL_SPEED=1  without the recorded delays

#include <QString>

namespace demo {

// The exit code of an emulated program whose replay did not hold.
constexpr int kReplayFailedExit = 70;

// Attaches the accessory the recording names (none when it names none) and
// replays the recording on it; false with `error` set when it cannot be read.
bool startReplay(const QString &path, bool fullSpeed, QString *error);

enum class ReplaySetup { NotAsked, Started, Failed };
// startReplay() as the environment asks; a failure is printed on stderr.
ReplaySetup replayFromEnvironment();

// After the program ran: true when every request matched and every recorded
// exchange was asked; otherwise says what went wrong on stderr.
bool replayHeld();

} // namespace demo
