#pragma once
// corvane-cli --record FILE: the conversation of any command with the
// accessory, recorded into FILE (cli/CommandReplay.cpp prints a recording).

#include <QString>
#include <functional>

namespace cli {

// Runs `command` while every exchange is recorded into `path` (values of the
// account ID and PIN masked unless `unmasked`). Returns the command's exit
// code, or kExitUsage when the recording cannot be written.
int runRecorded(const QString &path, bool unmasked, const std::function<int()> &command);

} // namespace cli
