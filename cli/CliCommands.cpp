#include "cli/CliCommands.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <vector>

#include "account/AccountRecords.h"
#include "account/PythonResolver.h"
#include "cli/CliApp.h"
#include "cli/CliOutput.h"
#include "cli/CliTerminal.h"
#include "device/DeviceLock.h"
#include "device/DeviceSession.h"
#include "device/PowerSupply.h"
#include "device/SleepInhibitor.h"
#include "firmware/FirmwareTransfer.h"
#include "firmware/ImageCheck.h"
#include "readback/FlashReadback.h"

namespace cli {
namespace {

// A real account ID is a base64 text of 12 characters; anything this short is
// certainly not one (the window's Paste applies the same bound).
constexpr int kMaxImplausibleIdLength = 4;

QString hex4(uint16_t value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// The message on standard error; with --json also an error object on
// standard output, so that a script always has something to parse.
int fail(const Request &request, int exitCode, const QString &message) {
    printMessage(message);
    if (request.json)
        printJson({{QStringLiteral("error"), message}, {QStringLiteral("exitCode"), exitCode}});
    return exitCode;
}

const accessory::Attached *pick(const std::vector<accessory::Attached> &attached,
                                const QString &wantedPath) {
    for (const accessory::Attached &candidate : attached)
        if (wantedPath.isEmpty() || QString::fromLocal8Bit(candidate.path) == wantedPath)
            return &candidate;
    return nullptr;
}

QJsonObject describe(const accessory::Attached &attached) {
    return {{QStringLiteral("path"), QString::fromLocal8Bit(attached.path)},
            {QStringLiteral("vendorId"), hex4(attached.vendorId)},
            {QStringLiteral("productId"), hex4(attached.productId)}};
}

struct OpenProblem {
    int exitCode;
    QString message;
};

// Why the accessory at `path` could not be opened (`error` from
// accessory::open); only a refusal by the system is a permission problem.
OpenProblem openProblem(const QByteArray &path, int error) {
    const QString shown = QString::fromLocal8Bit(path);
    bool stillThere = false;
    for (const accessory::Attached &candidate : accessory::listAttached())
        stillThere = stillThere || candidate.path == path;
    if (!stillThere || error == ENOENT || error == ENODEV || error == ENXIO)
        return {kExitNoAccessory,
                QStringLiteral("The accessory at %1 was removed before it could be opened.")
                    .arg(shown)};
    if (error == EACCES || error == EPERM)
        return {
            kExitPermission,
            QStringLiteral("Permission denied on %1. %2").arg(shown, accessory::permissionHint())};
    if (error == EBUSY)
        return {kExitBusy, QStringLiteral("The accessory at %1 is held exclusively by another "
                                          "program; close that program and try again.")
                               .arg(shown)};
    return {kExitDeviceFailed, QStringLiteral("The accessory at %1 could not be opened: %2.")
                                   .arg(shown, error ? QString::fromLocal8Bit(std::strerror(error))
                                                     : QStringLiteral("unknown error"))};
}

// The chosen accessory, opened under its lock for the length of one command.
class Session {
public:
    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() {
        channel_.close();
        if (initialised_)
            hid_exit();
    }

    // Returns kExitDone, or the exit code of a failure it has reported.
    int open(const Request &request) {
        if (hid_init() == -1)
            return fail(request, kExitDeviceFailed,
                        QStringLiteral("The HID library could not be initialised."));
        initialised_ = true;
        const std::vector<accessory::Attached> attached = accessory::listAttached();
        const accessory::Attached *chosen = pick(attached, request.devicePath);
        if (!chosen)
            return fail(request, kExitNoAccessory, noAccessoryMessage(request, attached));
        accessory_ = *chosen;
        const QString path = QString::fromLocal8Bit(accessory_.path);
        switch (lock_.acquire(path)) {
        case DeviceLock::Result::Acquired:
            break;
        case DeviceLock::Result::Busy:
            return fail(request, kExitBusy,
                        QStringLiteral("The accessory at %1 is busy with another program's job; "
                                       "try again when it has finished.")
                            .arg(path));
        case DeviceLock::Result::Failed:
            return fail(request, kExitBusy,
                        QStringLiteral("The accessory at %1 was left alone: %2.")
                            .arg(path, lock_.errorString()));
        }
        int error = 0;
        hid_device *opened = accessory::open(accessory_.path.constData(), &error);
        if (!opened) {
            const OpenProblem problem = openProblem(accessory_.path, error);
            return fail(request, problem.exitCode, problem.message);
        }
        channel_.replace(opened);
        return kExitDone;
    }

    // After a firmware update: the accessory restarts and may come back under
    // a new node. Waits (up to kRestartWaitMs) for the same accessory, never
    // another one, and reopens it; false when it is not back.
    bool reopen() {
        channel_.close();
        const QDeadlineTimer deadline(kRestartWaitMs);
        for (;;) {
            if (const std::optional<accessory::Attached> found = accessory::findUnit(accessory_)) {
                if (hid_device *opened = accessory::open(found->path.constData())) {
                    accessory_ = *found;
                    channel_.replace(opened);
                    return true;
                }
            }
            if (deadline.hasExpired() || stopRequested())
                return false;
            QThread::msleep(kRestartPollMs);
        }
    }

    DeviceChannel &channel() { return channel_; }
    const accessory::Attached &attached() const { return accessory_; }
    QString path() const { return QString::fromLocal8Bit(accessory_.path); }

private:
    static QString noAccessoryMessage(const Request &request,
                                      const std::vector<accessory::Attached> &attached) {
        if (attached.empty())
            return QStringLiteral("No accessory found.");
        return QStringLiteral("No accessory at %1; 'corvane-cli list' shows the attached ones.")
            .arg(request.devicePath);
    }

    hid_device *handle_ = nullptr;
    DeviceChannel channel_{handle_};
    DeviceLock lock_;
    accessory::Attached accessory_;
    bool initialised_ = false;
};

struct RecordValue {
    const char *name;
    const char *label;
    QByteArray encoded;
};

// Why a value cannot be written as given; empty when it can.
QString valueProblem(const QString &value, const char *label, bool allowEmpty) {
    if (value.isEmpty() && !allowEmpty)
        return QStringLiteral("The %1 is empty; pass --allow-empty to write an empty value.")
            .arg(QLatin1String(label));
    // The device stores one Latin-1 byte per character; anything else would
    // arrive as '?', a value the user did not ask for.
    if (QString::fromLatin1(value.toLatin1()) != value)
        return QStringLiteral("The %1 holds characters the accessory cannot store (only "
                              "Latin-1 characters fit).")
            .arg(QLatin1String(label));
    if (value.size() > kMaxRecordValueLength)
        return QStringLiteral("The %1 is too long for the device (at most %2 characters).")
            .arg(QLatin1String(label))
            .arg(kMaxRecordValueLength);
    return QString();
}

QString textOrEmpty(const std::optional<QString> &text) {
    return text ? *text : QString();
}

QString displayed(const QString &text) {
    return text.isEmpty() ? QStringLiteral("(empty)") : text;
}

QString maskedPin(const QString &pin, bool show) {
    return show || pin.isEmpty() ? pin : QStringLiteral("****");
}

DeviceJobObserver progressObserver(Progress &progress) {
    DeviceJobObserver observer;
    observer.stopRequested = [] { return stopRequested(); };
    observer.stepReached = [&progress](int step) { progress.stepReached(step); };
    observer.blockDone = [&progress](int done, int total) { progress.blockDone(done, total); };
    return observer;
}

// The battery and file checks before an update: refuses (returns the exit
// code) unless --force, which goes on and says what it overrides.
int checkBeforeFlash(const Request &request, const QByteArray &image) {
    const QString notFirmware = firmware::notFirmwareReason(image);
    const PowerSupply power = readPowerSupply();
    const QString battery = batteryTooLow(power) ? lowBatteryText(power) : QString();
    if (!request.force) {
        if (!notFirmware.isEmpty())
            return fail(request, kExitUsage,
                        QStringLiteral("The firmware file %1, not a firmware image; nothing was "
                                       "sent. Add --force to send it anyway.")
                            .arg(notFirmware));
        if (!battery.isEmpty())
            return fail(request, kExitUsage,
                        battery + QStringLiteral(" Plug the computer in and try again, or add "
                                                 "--force to update anyway."));
        return kExitDone;
    }
    if (!notFirmware.isEmpty())
        printMessage(
            QStringLiteral("--force: sending although the firmware file %1.").arg(notFirmware));
    if (!battery.isEmpty())
        printMessage(QStringLiteral("--force: updating although the battery is at %1 %.")
                         .arg(power.batteryPercent));
    return kExitDone;
}

// Replaces each value given as "-" by a line of standard input, in the order
// account ID, PIN; returns kExitDone or the exit code of a failure it reported.
int readValuesFromInput(const Request &request, std::optional<QString> &account,
                        std::optional<QString> &pin) {
    const struct {
        std::optional<QString> &value;
        const char *prompt;
    } fields[] = {{account, "Account ID: "}, {pin, "PIN: "}};
    for (const auto &field : fields) {
        if (!field.value || *field.value != QLatin1String("-"))
            continue;
        const std::optional<QString> line =
            readInputLine(QLatin1String(field.prompt), /*secret=*/true);
        if (!line)
            return fail(request, kExitUsage,
                        QStringLiteral("Standard input ended before the value for \"-\" was "
                                       "given."));
        field.value = *line;
    }
    return kExitDone;
}

} // namespace

int listAccessories(const Request &request) {
    if (hid_init() == -1)
        return fail(request, kExitDeviceFailed,
                    QStringLiteral("The HID library could not be initialised."));
    const std::vector<accessory::Attached> attached = accessory::listAttached();
    QJsonArray entries;
    int accessible = 0;
    std::vector<OpenProblem> problems;
    for (const accessory::Attached &candidate : attached) {
        int error = 0;
        hid_device *probe = accessory::open(candidate.path.constData(), &error);
        if (probe) {
            hid_close(probe);
            ++accessible;
        } else {
            problems.push_back(openProblem(candidate.path, error));
        }
        QJsonObject entry = describe(candidate);
        entry.insert(QStringLiteral("accessible"), probe != nullptr);
        entries.append(entry);
        if (!request.json)
            printResult(
                QStringLiteral("%1:%2 %3 %4")
                    .arg(hex4(candidate.vendorId), hex4(candidate.productId),
                         QString::fromLocal8Bit(candidate.path),
                         probe ? QStringLiteral("accessible") : QStringLiteral("no-access")));
    }
    if (request.json)
        printJson({{QStringLiteral("accessories"), entries}});
    if (attached.empty()) {
        hid_exit();
        printMessage(QStringLiteral("No accessory found."));
        return kExitNoAccessory;
    }
    for (const OpenProblem &problem : problems)
        printMessage(problem.message);
    hid_exit();
    return accessible > 0 || problems.empty() ? kExitDone : problems.front().exitCode;
}

int showInfo(const Request &request) {
    Session session;
    if (const int code = session.open(request))
        return code;
    const accessory::Identity identity =
        accessory::identify(session.channel(), session.attached().productId);
    if (!identity.allAnswered)
        return fail(request, kExitDeviceFailed,
                    QStringLiteral("The accessory at %1 did not answer every record read.")
                        .arg(session.path()));
    const QString pin = maskedPin(textOrEmpty(identity.pin), request.showPin);
    if (request.json) {
        QJsonObject object = describe(session.attached());
        object.insert(QStringLiteral("version"), textOrEmpty(identity.version));
        object.insert(QStringLiteral("accountId"), textOrEmpty(identity.psnId));
        object.insert(QStringLiteral("pin"), pin);
        printJson(object);
        return kExitDone;
    }
    printResult(QStringLiteral("Accessory:  %1 (%2:%3)")
                    .arg(session.path(), hex4(session.attached().vendorId),
                         hex4(session.attached().productId)));
    printResult(QStringLiteral("Version:    ") + displayed(textOrEmpty(identity.version)));
    printResult(QStringLiteral("Account ID: ") + displayed(textOrEmpty(identity.psnId)));
    printResult(QStringLiteral("PIN:        ") + displayed(pin));
    return kExitDone;
}

int setRecords(const Request &request) {
    if (!request.account && !request.pin)
        return fail(request, kExitUsage, QStringLiteral("set needs --account, --pin or both."));
    std::optional<QString> account = request.account;
    std::optional<QString> pin = request.pin;
    if (const int code = readValuesFromInput(request, account, pin))
        return code;
    std::vector<RecordValue> values;
    const struct {
        const std::optional<QString> &value;
        const char *name;
        const char *label;
    } given[] = {{account, accessory::kAccountIdRecord, "account ID"},
                 {pin, accessory::kPinRecord, "PIN"}};
    for (const auto &field : given) {
        if (!field.value)
            continue;
        const QString problem = valueProblem(*field.value, field.label, request.allowEmpty);
        if (!problem.isEmpty())
            return fail(request, kExitUsage, problem);
        values.push_back({field.name, field.label, report::encodeRecordValue(*field.value)});
    }
    Session session;
    if (const int code = session.open(request))
        return code;
    QJsonArray written;
    bool allAcknowledged = true;
    for (const RecordValue &value : values) {
        const records::WriteOutcome outcome = records::writeRecord(
            session.channel(), session.attached().productId, value.name, value.encoded);
        const bool acknowledged = outcome == records::WriteOutcome::Acknowledged;
        allAcknowledged = allAcknowledged && acknowledged;
        written.append(QJsonObject{{QStringLiteral("name"), QLatin1String(value.name)},
                                   {QStringLiteral("acknowledged"), acknowledged}});
        if (!request.json)
            printResult(QStringLiteral("%1: %2").arg(
                QLatin1String(value.name), acknowledged ? QStringLiteral("acknowledged")
                                                        : QStringLiteral("not acknowledged")));
        if (!acknowledged)
            printMessage(records::notSavedMessage(value.label, value.name, outcome));
    }
    if (request.json) {
        QJsonObject object = describe(session.attached());
        object.insert(QStringLiteral("records"), written);
        printJson(object);
    }
    return allAcknowledged ? kExitDone : kExitDeviceFailed;
}

int flashFirmware(const Request &request) {
    QByteArray image;
    const QString problem = firmware::loadImage(request.argument, image);
    if (!problem.isEmpty())
        return fail(request, kExitUsage, problem);
    if (const int code = checkBeforeFlash(request, image))
        return code;
    const QString sha256 = firmware::sha256Hex(image);
    if (const QString padding = firmware::paddingNote(image.size()); !padding.isEmpty())
        printMessage(padding);
    Session session;
    if (const int code = session.open(request))
        return code;
    // A half-updated accessory answers no record read; the update may repair it.
    if (!accessory::identify(session.channel(), session.attached().productId).allAnswered)
        printMessage(QStringLiteral("Warning: ") +
                     QString::fromUtf8(accessory::kUnidentifiedBeforeUpdate) +
                     QStringLiteral(" Updating it anyway."));
    handleStops(StopPolicy::Confirmed);
    Progress progress(QStringLiteral("Writing firmware"), Progress::stderrIsTerminal());
    const firmware::TransferResult result = [&] {
        const SleepInhibitor inhibitor(QLatin1String(firmware::kJobName));
        return firmware::sendImage(session.channel(), image, progressObserver(progress));
    }();
    progress.finish();
    handleStops(StopPolicy::AtOnce);
    if (result.outcome == firmware::Outcome::Stopped)
        return fail(request, stoppedExitCode(),
                    firmware::failureText(result) +
                        QStringLiteral(" The accessory may not start until an update is "
                                       "finished."));
    if (result.outcome != firmware::Outcome::Succeeded)
        return fail(request, kExitDeviceFailed, firmware::failureText(result));
    // As the window does: the version shown comes from the updated device.
    const bool back = session.reopen();
    const accessory::Identity identity =
        back ? accessory::identify(session.channel(), session.attached().productId)
             : accessory::Identity{};
    if (!back || !identity.version)
        return fail(request, kExitDeviceFailed,
                    QStringLiteral("The firmware was written, but the accessory could not be "
                                   "identified afterwards."));
    if (request.json) {
        QJsonObject object = describe(session.attached());
        object.insert(QStringLiteral("blocks"), result.totalBlocks);
        object.insert(QStringLiteral("bytes"), image.size());
        object.insert(QStringLiteral("sha256"), sha256);
        object.insert(QStringLiteral("version"), *identity.version);
        printJson(object);
        return kExitDone;
    }
    printResult(QStringLiteral("Firmware written: %1 blocks (%2 bytes).")
                    .arg(result.totalBlocks)
                    .arg(image.size()));
    printResult(QStringLiteral("SHA-256: ") + sha256);
    printResult(QStringLiteral("Version: ") + displayed(*identity.version));
    return kExitDone;
}

int backUpFlash(const Request &request) {
    QString reason;
    if (!readback::canCreate(request.argument, &reason))
        return fail(request, kExitUsage,
                    QStringLiteral("The backup file \"%1\" cannot be created: %2")
                        .arg(request.argument, reason));
    Session session;
    if (const int code = session.open(request))
        return code;
    handleStops(StopPolicy::BetweenBlocks);
    Progress progress(QStringLiteral("Reading flash"), Progress::stderrIsTerminal());
    const readback::BackupResult result = [&] {
        const SleepInhibitor inhibitor(QLatin1String(readback::kJobName));
        return readback::backUpFlash(session.channel(), request.argument,
                                     progressObserver(progress));
    }();
    progress.finish();
    handleStops(StopPolicy::AtOnce);
    if (result.outcome != readback::Outcome::Succeeded)
        return fail(request,
                    result.outcome == readback::Outcome::FileError ? kExitUsage
                    : result.outcome == readback::Outcome::Stopped ? stoppedExitCode()
                                                                   : kExitDeviceFailed,
                    readback::failureText(result));
    if (request.json) {
        QJsonObject object = describe(session.attached());
        object.insert(QStringLiteral("file"), request.argument);
        object.insert(QStringLiteral("bytes"), qint64(kFlashSize));
        printJson(object);
        return kExitDone;
    }
    printResult(QStringLiteral("Flash saved to %1 (%2 bytes).")
                    .arg(request.argument)
                    .arg(qint64(kFlashSize)));
    return kExitDone;
}

int resolveAccountId(const Request &request) {
    // On a terminal one line is read after a prompt; otherwise all of the
    // input, as a script pipes it.
    QString text;
    if (request.url)
        text = *request.url;
    else if (stdinIsTerminal())
        text = readInputLine(QStringLiteral("Paste the address the sign-in ended on, then press "
                                            "Enter: "),
                             /*secret=*/false)
                   .value_or(QString());
    else
        text = QString::fromLocal8Bit(readAllInput());
    text = text.trimmed();
    if (text.isEmpty())
        return fail(request, kExitUsage,
                    QStringLiteral("No address given: pass --url URL or the address on "
                                   "standard input."));
    if (!text.contains(QLatin1String("code="), Qt::CaseSensitive))
        return fail(request, kExitUsage,
                    QStringLiteral("The address holds no \"code=\"; copy the whole address the "
                                   "sign-in ended on."));
    const ResolvedAccountId resolved = PythonResolver::resolve(text);
    if (!resolved.ok)
        return fail(request, kExitDeviceFailed, resolved.error);
    if (resolved.id.size() <= kMaxImplausibleIdLength)
        return fail(request, kExitDeviceFailed,
                    QStringLiteral("psn id may be wrong, please check it!"));
    const QString id = QString::fromUtf8(resolved.id);
    if (request.json)
        printJson({{QStringLiteral("accountId"), id}});
    else
        printResult(id);
    return kExitDone;
}

} // namespace cli
