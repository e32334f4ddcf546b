// corvane-cli over the emulated accessory, for tests and demos without
// hardware. The demo accessory (see DemoAccessory.h) is attached unless the
// environment says otherwise:
//
//   CORVANE_EMULATOR_NO_DEVICE=1       start with nothing attached
//   CORVANE_EMULATOR_SECOND_DEVICE=1   also attach a second accessory,
//                                      /dev/hidraw-emulated1 (abcd:2204)
//   CORVANE_EMULATOR_FAIL_OPEN=1       the accessory cannot be opened (EACCES);
//                          =busy       held exclusively (EBUSY), =io (EIO),
//                          =vanished   unplugged between listing and opening
//   CORVANE_EMULATOR_REPLY_DELAY_MS=N  every reply takes N ms
//   CORVANE_EMULATOR_DETACH_AFTER=N    unplug after N more requests
//   CORVANE_EMULATOR_VERSION=TEXT      the version record (bytes as given)
//   CORVANE_EMULATOR_ACCOUNT=TEXT      the account ID record (bytes as given)
//   CORVANE_EMULATOR_FAULTS=LIST       faults by request number (from 0), comma
//                                      separated: late:N:MS (the reply comes MS
//                                      late), short:N:BYTES, missing:N (never
//                                      answered)
//   CORVANE_EMULATOR_REPLAY=FILE       replay a recorded session instead of the
//                                      demo accessory (see ReplayFile.h); exits
//                                      70 when the replay did not hold
//   CORVANE_EMULATOR_STATE_DIR=DIR     at exit, write what the accessory holds
//                                      there: firmware.bin, record.<name>
#include <QStringList>
#include <QtGlobal>
#include <cerrno>
#include <utility>

#include "DemoAccessory.h"
#include "EmulatedAccessory.h"
#include "ReplayFile.h"
#include "cli/CliApp.h"

namespace {

const std::string kSecondPath = "/dev/hidraw-emulated1";

bool flagSet(const char *name) {
    return qEnvironmentVariableIntValue(name) == 1;
}

void attachSecondAccessory() {
    emu::DeviceSpec spec;
    spec.vendorId = 0xABCD;
    spec.productId = 0x2204;
    spec.path = kSecondPath;
    emu::attach(spec);
    emu::setRecordText(kSecondPath, "version", "V2.0.0 (second emulated)");
    emu::setRecordText(kSecondPath, "rp.psnid", "c2Vjb25kSUQ=");
    emu::setRecordText(kSecondPath, "rp.pin", "11112222");
}

void injectFaults(const QString &list) {
    for (const QString &fault : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList parts = fault.split(QLatin1Char(':'));
        const int index = parts.value(1).toInt();
        const int amount = parts.value(2).toInt();
        if (parts.first() == QLatin1String("late"))
            emu::answerLate(demo::kDemoPath, index, amount);
        else if (parts.first() == QLatin1String("short"))
            emu::shortReplies(demo::kDemoPath, emu::matchIndex(index), std::size_t(amount));
        else if (parts.first() == QLatin1String("missing"))
            emu::answerLate(demo::kDemoPath, index, 24 * 3600 * 1000);
    }
}

void configureDemoAccessory() {
    if (flagSet("CORVANE_EMULATOR_NO_DEVICE"))
        return;
    demo::attachDemoAccessory();
    if (flagSet("CORVANE_EMULATOR_SECOND_DEVICE"))
        attachSecondAccessory();
    for (const auto &[variable, record] : {std::pair{"CORVANE_EMULATOR_VERSION", "version"},
                                           std::pair{"CORVANE_EMULATOR_ACCOUNT", "rp.psnid"}})
        if (qEnvironmentVariableIsSet(variable))
            emu::setRecordText(demo::kDemoPath, record, qgetenv(variable).toStdString());
    const QByteArray openFault = qgetenv("CORVANE_EMULATOR_FAIL_OPEN");
    if (openFault == "vanished")
        emu::vanishOnOpen(demo::kDemoPath);
    else if (openFault == "busy")
        emu::failOpenWith(demo::kDemoPath, EBUSY);
    else if (openFault == "io")
        emu::failOpenWith(demo::kDemoPath, EIO);
    else
        emu::failOpen(demo::kDemoPath, flagSet("CORVANE_EMULATOR_FAIL_OPEN"));
    bool given = false;
    const int detachAfter = qEnvironmentVariableIntValue("CORVANE_EMULATOR_DETACH_AFTER", &given);
    if (given)
        emu::detachAfterRequests(demo::kDemoPath, detachAfter);
    injectFaults(qEnvironmentVariable("CORVANE_EMULATOR_FAULTS"));
}

} // namespace

int main(int argc, char *argv[]) {
    const demo::ReplaySetup replay = demo::replayFromEnvironment();
    if (replay == demo::ReplaySetup::Failed)
        return demo::kReplayFailedExit;
    if (replay == demo::ReplaySetup::Started) {
        const int result = runCli(argc, argv);
        return demo::replayHeld() ? result : demo::kReplayFailedExit;
    }
    configureDemoAccessory();
    const int result = runCli(argc, argv);
    const QString stateDir = qEnvironmentVariable("CORVANE_EMULATOR_STATE_DIR");
    if (!stateDir.isEmpty())
        demo::exportState(stateDir);
    return result;
}
