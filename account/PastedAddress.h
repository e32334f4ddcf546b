#pragma once
// What Paste checks in the clipboard text before the resolver sees it, and the
// private values in it that a saved log must mask; Qt Core only, so the
// checks run without a window.

#include <QByteArray>
#include <QString>

namespace paste {

enum class PastedText {
    Usable,  // handed to the resolver
    Empty,   // nothing was copied
    TooLong, // over 64 KiB in UTF-8: not an address, never handed to Python
    NoCode,  // holds no "code=" (case matters)
};

// The first of the problems above that `text` has, in that order.
PastedText checkPastedText(const QString &text);

// True for a resolver answer too short to be an account ID (a base64 text of
// 12 characters): Paste and corvane-cli resolve both refuse it.
bool isImplausibleAccountId(const QByteArray &id);

// Notes the pasted text, every code value in it (as pasted and decoded as
// the resolver and the server see it) and `clientSecret` with LogRedaction,
// so that none of them appears in a saved log, whatever the resolver says.
void notePrivateValues(const QString &text, const QString &clientSecret);

} // namespace paste
