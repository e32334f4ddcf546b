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
//   CORVANE_EMULATOR_STATE_DIR=DIR     at exit, write what the accessory holds
//                                      there: firmware.bin, record.<name>
#include <QtGlobal>
#include <cerrno>
#include <utility>

#include "DemoAccessory.h"
#include "EmulatedAccessory.h"
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
}

} // namespace

int main(int argc, char *argv[]) {
    configureDemoAccessory();
    const int result = runCli(argc, argv);
    const QString stateDir = qEnvironmentVariable("CORVANE_EMULATOR_STATE_DIR");
    if (!stateDir.isEmpty())
        demo::exportState(stateDir);
    return result;
}
