#pragma once
// corvane-cli --record FILE: the conversation of any command with the
// accessory, recorded into FILE; and the replay command, which prints a
// recording as a table that a support person reads without tools.

#include <QString>
#include <functional>

namespace cli {

struct Request;

// Runs `command` while every exchange is recorded into `path` (values of the
// account ID and PIN masked unless `unmasked`). Returns the command's exit
// code, or kExitUsage when the recording cannot be written.
int runRecorded(const QString &path, bool unmasked, const std::function<int()> &command);

// corvane-cli replay FILE
int printRecording(const Request &request);

} // namespace cli
