// The firmware file as Run looks at it before the first block: what it
// plainly is instead of firmware, its checksum and the padding note.
#include <QByteArray>
#include <algorithm>

#include "FuzzSupport.h"
#include "device/DeviceReport.h"
#include "firmware/ImageCheck.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silenceDebugOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const QByteArray image(reinterpret_cast<const char *>(data), int(size));
    const QString reason = firmware::notFirmwareReason(image);
    fuzz::expect(reason == firmware::notFirmwareReason(image), "the same bytes, the same verdict");
    if (reason == QStringLiteral("holds nothing but 0x00 bytes"))
        fuzz::expect(std::all_of(image.begin(), image.end(), [](char c) { return c == 0; }),
                     "only zero bytes are called zero bytes");
    if (image.isEmpty())
        fuzz::expect(reason.isEmpty(), "an empty file is refused elsewhere, by its size");
    fuzz::expect(firmware::sha256Hex(image).size() == 64, "a SHA-256 is 64 hex digits");
    fuzz::expect(firmware::paddingNote(image.size()).isEmpty() ==
                     (image.size() % int(kFirmwareBlockSize) == 0),
                 "padding is noted exactly when the last block is short");
    return 0;
}
