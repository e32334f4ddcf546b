#include "account/PastedAddress.h"

#include <QUrl>

#include "common/LogRedaction.h"

namespace paste {
namespace {

// A redirect address is a few hundred bytes; a text this long is something
// else and is not handed to Python at all.
constexpr int kMaxPastedBytes = 64 * 1024;

bool tooLongForAnAddress(const QString &text) {
    // Each UTF-16 unit is at least one byte in UTF-8.
    return text.size() > kMaxPastedBytes || text.toUtf8().size() > kMaxPastedBytes;
}

} // namespace

PastedText checkPastedText(const QString &text) {
    if (text.isEmpty())
        return PastedText::Empty;
    if (tooLongForAnAddress(text))
        return PastedText::TooLong;
    if (text.indexOf(QLatin1String("code="), 0, Qt::CaseSensitive) == -1)
        return PastedText::NoCode;
    return PastedText::Usable;
}

void notePrivateValues(const QString &text, const QString &clientSecret) {
    using LogRedaction::PrivateKind;
    LogRedaction::notePrivate(PrivateKind::PastedText, text);
    const QLatin1String key("code=");
    for (int at = text.indexOf(key); at != -1; at = text.indexOf(key, at + 1)) {
        const int start = at + key.size();
        int end = start;
        while (end < text.size() && !QStringLiteral("&#\"' \t\r\n").contains(text.at(end)))
            ++end;
        const QString code = text.mid(start, end - start);
        LogRedaction::notePrivate(PrivateKind::AuthorizationCode, code);
        // As the resolver and the server see it, and may echo it: decoded.
        LogRedaction::notePrivate(
            PrivateKind::AuthorizationCode,
            QUrl::fromPercentEncoding(
                QString(code).replace(QLatin1Char('+'), QLatin1Char(' ')).toUtf8()));
    }
    LogRedaction::notePrivate(PrivateKind::ClientSecret, clientSecret);
}

bool isImplausibleAccountId(const QByteArray &id) {
    constexpr int kMaxImplausibleIdLength = 4;
    return id.size() <= kMaxImplausibleIdLength;
}

} // namespace paste
