#include "DemoAccessory.h"

#include <QDir>
#include <QFile>
#include <vector>

#include "EmulatedAccessory.h"

namespace demo {
namespace {

void writeFile(const QString &path, const std::vector<uint8_t> &bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size()));
}

} // namespace

void attachDemoAccessory() {
    emu::DeviceSpec spec;
    spec.path = kDemoPath;
    emu::attach(spec);
    emu::setRecordText(kDemoPath, "version", "V1.2.0 (emulated)");
    emu::setRecordText(kDemoPath, "rp.psnid", "nTg6lZ4zRQg=");
    emu::setRecordText(kDemoPath, "rp.pin", "24681357");
    std::vector<uint8_t> flash(emu::kFlashSize);
    for (std::size_t i = 0; i < flash.size(); ++i)
        flash[i] = uint8_t((i * 7 + i / 512) & 0xFF);
    emu::setFlash(kDemoPath, flash);
    emu::setVersionAfterFirmware(kDemoPath, "V1.2.1 (emulated, updated)");
    emu::setReplyDelayMs(kDemoPath,
                         qEnvironmentVariableIntValue("CORVANE_EMULATOR_REPLY_DELAY_MS"));
}

void exportState(const QString &dir) {
    QDir().mkpath(dir);
    writeFile(dir + QStringLiteral("/firmware.bin"), emu::receivedFirmware(kDemoPath));
    for (const char *name : {"version", "rp.psnid", "rp.pin"})
        writeFile(dir + QStringLiteral("/record.") + QLatin1String(name),
                  emu::record(kDemoPath, name));
}

} // namespace demo
