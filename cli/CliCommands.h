#pragma once
// The commands of corvane-cli, one file each (cli/Command*.cpp), each
// returning its exit code (see CliApp.h).

#include <QString>
#include <optional>

namespace cli {

struct Request {
    QString command;
    QString argument;   // IMAGE for flash, FILE for backup and replay
    QString devicePath; // empty: the first accessory found
    bool json = false;
    bool showPin = false;
    bool allowEmpty = false;
    bool force = false; // flash: past the battery and file checks
    std::optional<QString> account;
    std::optional<QString> pin;
    std::optional<QString> url;
    QString recordPath; // --record FILE
    bool unmasked = false;
};

int listAccessories(const Request &request);
int showInfo(const Request &request);
int setRecords(const Request &request);
int flashFirmware(const Request &request);
int backUpFlash(const Request &request);
int resolveAccountId(const Request &request);
int printRecording(const Request &request);

} // namespace cli
