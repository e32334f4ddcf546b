#pragma once
// What a saved diagnostic log must not give away. The console keeps every
// debug line as it is; only the copy a user saves (and may send to anyone) is
// redacted.

#include <QString>

namespace LogRedaction {

enum class PrivateKind { AccountId, Pin, PastedText, AuthorizationCode, ClientSecret };

// Remembers a value the program handled so that it is masked wherever it shows
// up in a saved line ("[account ID]", "[PIN]", ...). Values shorter than
// kMinNotedLength are not remembered: masking every occurrence of two
// characters would garble the whole log, and the patterns below still apply.
constexpr int kMinNotedLength = 4;
void notePrivate(PrivateKind kind, const QString &value);
void forgetNotedValues();

// The line as it may be saved: noted values masked, and whatever looks like
// an account-ID result, an authorization code, a token or a client secret
// (key=value, key: value, JSON members also with escaped quotes, Authorization
// headers) replaced.
QString redact(const QString &line);

} // namespace LogRedaction
