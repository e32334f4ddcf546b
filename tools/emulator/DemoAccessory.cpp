#include "DemoAccessory.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <vector>

#include "EmulatedAccessory.h"

namespace demo {
namespace {

const char *const kRecordNames[] = {accessory::kVersionRecord, accessory::kAccountIdRecord,
                                    accessory::kPinRecord};

QString recordFile(const QString &dir, const char *name) {
    return dir + QStringLiteral("/record.") + QLatin1String(name);
}

QString firmwareFile(const QString &dir) {
    return dir + QStringLiteral("/firmware.bin");
}

void writeFile(const QString &path, const std::vector<uint8_t> &bytes) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size()));
    file.commit();
}

bool readFile(const QString &path, std::vector<uint8_t> *bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = file.readAll();
    bytes->assign(content.begin(), content.end());
    return true;
}

} // namespace

void prepareDemoAccessory() {
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

void plugInDemoAccessory() {
    if (emu::isAttached(kDemoPath))
        return;
    emu::DeviceSpec spec;
    spec.path = kDemoPath;
    emu::attach(spec);
}

void attachDemoAccessory() {
    prepareDemoAccessory();
    plugInDemoAccessory();
}

void restoreState(const QString &dir) {
    std::vector<uint8_t> bytes;
    if (readFile(firmwareFile(dir), &bytes))
        emu::setReceivedFirmware(kDemoPath, bytes);
    for (const char *name : kRecordNames)
        if (readFile(recordFile(dir, name), &bytes))
            emu::setRecord(kDemoPath, name, bytes);
}

void exportState(const QString &dir) {
    QDir().mkpath(dir);
    writeFile(firmwareFile(dir), emu::receivedFirmware(kDemoPath));
    for (const char *name : kRecordNames)
        writeFile(recordFile(dir, name), emu::record(kDemoPath, name));
}

} // namespace demo
