// Paste's handling of the clipboard text up to the resolver call: the checks
// that decide whether the text goes to the resolver, and the values noted so
// that a saved log never shows them. The first byte picks how the clipboard
// text is decoded: UTF-8 as on X11 and Wayland, or raw UTF-16 as on Windows
// (where it may hold unpaired surrogates).
#include <QStringList>
#include <QUrl>

#include "FuzzSupport.h"
#include "account/PastedAddress.h"
#include "common/LogRedaction.h"

namespace {

const QString kSecret = QStringLiteral("fuzz-client-secret-0123");
const QStringList kMasks = {QStringLiteral("[removed]"),
                            QStringLiteral("[account ID]"),
                            QStringLiteral("[PIN]"),
                            QStringLiteral("[pasted address]"),
                            QStringLiteral("[authorization code]"),
                            QStringLiteral("[client secret]")};

QString clipboardText(const uint8_t *data, std::size_t size) {
    if (size > 0 && data[0] % 2 == 1)
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(data + 1),
                                  int((size - 1) / 2));
    return QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
}

// A value the log must not show, unless it is too short to be noted or a
// piece of a mask (which the redacted line holds anyway).
void expectMasked(const QString &value, const char *what) {
    if (value.size() < LogRedaction::kMinNotedLength)
        return;
    for (const QString &mask : kMasks)
        if (mask.contains(value))
            return;
    const QString line = QStringLiteral("resolver: no token for ") + value + QStringLiteral(".");
    fuzz::expect(!LogRedaction::redact(line).contains(value), what);
}

// The first few codes suffice: more only make each run slower.
constexpr int kCodesChecked = 4;

void checkCodesMasked(const QString &text) {
    const QLatin1String key("code=");
    int checked = 0;
    for (int at = text.indexOf(key); at != -1 && checked++ < kCodesChecked;
         at = text.indexOf(key, at + 1)) {
        QString code = text.mid(at + key.size());
        for (const QChar stop : QStringLiteral("&#\"' \t\r\n")) {
            const int end = code.indexOf(stop);
            if (end != -1)
                code.truncate(end);
        }
        expectMasked(code, "a pasted code is masked in a saved log");
        expectMasked(QUrl::fromPercentEncoding(
                         QString(code).replace(QLatin1Char('+'), QLatin1Char(' ')).toUtf8()),
                     "a decoded pasted code is masked in a saved log");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silenceDebugOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const QString text = clipboardText(data, size);
    if (paste::checkPastedText(text) != paste::PastedText::Usable)
        return 0;
    LogRedaction::forgetNotedValues();
    paste::notePrivateValues(text, kSecret);
    checkCodesMasked(text);
    expectMasked(kSecret, "the client secret is masked in a saved log");
    return 0;
}
